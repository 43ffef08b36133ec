// The core's set-up, its state as tools and tests see it, and the accesses
// off the fast path: flash seen at 0, peripherals on the Bus.
#include "board/cpu/cortex_m0_core.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace sim {

using namespace m0;

// ------------------------------------------------------------------ set-up

CortexM0::CortexM0(Bus &bus, ExceptionSource &exceptions, const Memory &memory)
    : bus_(bus),
      exceptions_(exceptions),
      memory_(memory),
      flash_(memory.flash_size, 0xFF),
      ram_(memory.ram_size, 0),
      decode_(decode_table()),
      predecoded_(memory.flash_size / 2 + 1, decode_[0xFFFF])
{
    if (memory.flash_size % 4 || memory.ram_size % 4 || memory.flash_base % 4 || memory.ram_base % 4) {
        throw std::invalid_argument("CortexM0: flash and RAM must be whole words");
    }
    predecoded_.back() = Decoded{Op::Refetch, 0, 0, 0, 0};          // past the end of flash
    outside_ = {decode_[0xFFFF], Decoded{Op::Refetch, 0, 0, 0, 0}}; // the entry, then its mark
    active_.reserve(16);
    trace_record_.accesses.reserve(16);
    set_thumb(true);
}

CortexM0::~CortexM0() = default;

void CortexM0::load(std::uint32_t address, const std::uint8_t *bytes, std::size_t size)
{
    auto fits = [&](std::uint32_t base, std::vector<std::uint8_t> &memory) {
        if (address < base || address - base > memory.size() || memory.size() - (address - base) < size) {
            return false;
        }
        if (size) std::memcpy(memory.data() + (address - base), bytes, size);
        return true;
    };
    if (fits(memory_.flash_base, flash_)) {
        predecode(address - memory_.flash_base, size);
    } else if (!fits(memory_.ram_base, ram_)) {
        throw std::out_of_range("CortexM0::load: bytes outside flash and RAM");
    }
    forget_loop();
    forget_delay_loops();
    find_known_routines();
}

void CortexM0::reset()
{
    r_.fill(0);
    r_[14] = 0xFFFFFFFF;
    set_nz(false, false);
    c_ = v_ = false;
    primask_ = spsel_ = false;
    other_sp_ = 0;
    locked_up_ = sleeping_ = sleep_for_event_ = event_ = nmi_pending_ = false;
    active_.clear();
    std::uint32_t sp = 0, pc = 0;
    peek(0, 4, sp);
    peek(4, 4, pc);
    r_[13] = sp & ~3u;
    r_[15] = pc & ~1u;
    set_thumb(pc & 1);
    forget_loop();
}

void CortexM0::set_thumb(bool thumb)
{
    t_ = thumb;
    fetch_limit_ = thumb ? memory_.flash_size : 0;
}

void CortexM0::set_reg(int n, std::uint32_t value)
{
    r_.at(n) = n == 13 ? value & ~3u : n == 15 ? value & ~1u : value;
    forget_loop();
}

void CortexM0::set_special(unsigned sysm, std::uint32_t value)
{
    write_special_register(sysm, value);
    forget_loop();
}

std::uint32_t CortexM0::xpsr() const
{
    return std::uint32_t(n()) << 31 | std::uint32_t(z()) << 30 | std::uint32_t(c_) << 29 | std::uint32_t(v_) << 28 |
        std::uint32_t(t_) << 24 | static_cast<std::uint32_t>(current_exception());
}

void CortexM0::set_xpsr(std::uint32_t value)
{
    set_nz(value >> 31, (value >> 30) & 1);
    c_ = (value >> 29) & 1;
    v_ = (value >> 28) & 1;
    forget_loop();
}

int CortexM0::priority_ignoring_primask() const
{
    // Each active exception pre-empted the one before it: the last is the
    // most urgent.
    return active_.empty() ? kThreadPriority : active_.back().priority;
}

int CortexM0::execution_priority() const
{
    const int p = priority_ignoring_primask();
    return primask_ && p > 0 ? 0 : p;
}

bool CortexM0::peek(std::uint32_t address, unsigned size, std::uint32_t &value) const
{
    auto in = [&](const std::vector<std::uint8_t> &memory, std::uint32_t offset) {
        if (offset >= memory.size() || memory.size() - offset < size || size > 4) return false;
        value = 0;
        std::memcpy(&value, memory.data() + offset, size);
        return true;
    };
    if (address - memory_.ram_base < memory_.ram_size) return in(ram_, address - memory_.ram_base);
    if (address - memory_.flash_base < memory_.flash_size) return in(flash_, address - memory_.flash_base);
    if (address < memory_.flash_size) return in(flash_, address);
    return false;
}

bool CortexM0::poke(std::uint32_t address, std::uint32_t value, unsigned size)
{
    auto in = [&](std::vector<std::uint8_t> &memory, std::uint32_t offset) {
        if (offset >= memory.size() || memory.size() - offset < size || size > 4) return false;
        std::memcpy(memory.data() + offset, &value, size);
        return true;
    };
    forget_loop();
    if (address - memory_.ram_base < memory_.ram_size) return in(ram_, address - memory_.ram_base);
    std::uint32_t offset = address - memory_.flash_base;
    if (offset >= memory_.flash_size) offset = address; // flash seen at 0
    const bool written = in(flash_, offset);
    if (written) predecode(offset, size);
    forget_delay_loops(); // the loops' marks, from the flash as it is now
    find_known_routines();
    return written;
}

void CortexM0::predecode(std::uint32_t offset, std::size_t size)
{
    // From the halfword before: a BL's first half, when its second changed.
    const std::uint32_t from = (offset & ~1u) >= 2 ? (offset & ~1u) - 2 : 0;
    for (std::uint32_t at = from; at < offset + size && at + 2 <= flash_.size(); at += 2) {
        const std::uint32_t first = read_le<2>(flash_.data() + at);
        Decoded d = decode_[first];
        // A BL with both halves in flash: its offset, decoded once.
        if (d.op == Op::Wide && at + 4 <= flash_.size()) {
            const std::uint32_t second = read_le<2>(flash_.data() + at + 2);
            if ((second & 0xD000) == 0xD000)
                d = Decoded{Op::Bl, 0, 0, 0, static_cast<std::int32_t>(bl_offset(first, second))};
        }
        // A literal in flash: where its word is, worked out once.
        if (d.op == Op::LdrLiteral) {
            const std::uint32_t literal = ((at + 4) & ~3u) + static_cast<std::uint32_t>(d.imm);
            if (literal + 4 <= flash_.size()) d = Decoded{Op::LdrFlash, d.a, 0, 0, static_cast<std::int32_t>(literal)};
        }
        if (fast_handlers_ != nullptr) d.fast = fast_handlers_[static_cast<unsigned>(d.op)];
        predecoded_[at / 2] = d;
    }
}

void CortexM0::resolve_handlers(const void *const *handlers)
{
    fast_handlers_ = handlers;
    for (Decoded &d : predecoded_) d.fast = handlers[static_cast<unsigned>(d.op)];
    outside_[1].fast = handlers[static_cast<unsigned>(Op::Refetch)];
}

void CortexM0::advance(Cycles cycles)
{
    now_ += cycles;
    idle_cycles_ += cycles;
    spin_arrival_ += cycles; // a loop's period counts only the cycles it ran
}

void CortexM0::set_trace(std::function<void(const TraceRecord &)> trace) { trace_ = std::move(trace); }

// ------------------------------------------------------------------ debugging

void CortexM0::set_breakpoints(std::vector<std::uint32_t> addresses)
{
    breakpoints_ = std::move(addresses);
    update_debugging();
    forget_loop();
}

void CortexM0::set_watchpoints(std::vector<Watchpoint> watchpoints)
{
    watchpoints_ = std::move(watchpoints);
    update_debugging();
    forget_loop();
}

void CortexM0::step_once()
{
    stepping_ = true;
    update_debugging();
}

void CortexM0::pass_breakpoint()
{
    passing_ = true;
    passing_at_ = r_[15];
}

bool CortexM0::at_breakpoint(std::uint32_t pc)
{
    const bool passing = passing_ && pc == passing_at_;
    passing_ = false;
    if (passing || breakpoints_.empty()) return false;
    return std::find(breakpoints_.begin(), breakpoints_.end(), pc) != breakpoints_.end();
}

void CortexM0::watch(std::uint32_t address, unsigned size, bool write)
{
    for (std::size_t i = 0; i < watchpoints_.size(); ++i) {
        const Watchpoint &w = watchpoints_[i];
        if (!(write ? w.on_write : w.on_read)) continue;
        // The access and the watched range overlap.
        if (address - w.address < w.length || w.address - address < size) {
            watch_hit_ = WatchHit{address, write, static_cast<int>(i)};
            stop(Stop::Watchpoint);
            return;
        }
    }
}

void CortexM0::after_debug_instruction()
{
    if (!stepping_) return;
    stepping_ = false;
    update_debugging();
    if (!(stopped_ && stop_reason_ == Stop::Watchpoint)) stop(Stop::Stepped);
}

// ------------------------------------------------------------------ memory

void CortexM0::fault() { throw Bus::Fault{}; }

std::uint32_t CortexM0::load_outside(std::uint32_t address, unsigned size)
{
    if (address < memory_.flash_size) { // flash seen at 0, as after a boot from it
        std::uint32_t value = 0;
        std::memcpy(&value, flash_.data() + address, size);
        return value;
    }
    spin_load_ = address;
    if (bus_ends_batch_) stop(Stop::BusAccess);
    return bus_.read(address, size);
}

void CortexM0::store_outside(std::uint32_t address, std::uint32_t value, unsigned size)
{
    if (bus_ends_batch_) stop(Stop::BusAccess);
    bus_.write(address, size == 4 ? value : value & ((1u << (8 * size)) - 1), size);
}

std::uint16_t CortexM0::fetch_outside(std::uint32_t address)
{
    if (!t_) fault(); // the last branch went to ARM state
    if (address - memory_.flash_base < memory_.flash_size) {
        return static_cast<std::uint16_t>(read_le<2>(flash_.data() + (address - memory_.flash_base)));
    }
    if (address - memory_.ram_base < memory_.ram_size) {
        return static_cast<std::uint16_t>(read_le<2>(ram_.data() + (address - memory_.ram_base)));
    }
    if (address < memory_.flash_size) return static_cast<std::uint16_t>(read_le<2>(flash_.data() + address));
    fault(); // nothing to execute there (peripherals and the system space never execute)
}

} // namespace sim
