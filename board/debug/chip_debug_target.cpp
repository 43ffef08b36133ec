#include "board/debug/chip_debug_target.h"

#include <algorithm>
#include <string>

#include "board/board.h"
#include "board/peripherals/memory_map.h"
#include "board/statistics.h"

namespace sim {

namespace {

// MRS/MSR numbers of the system feature's registers.
constexpr unsigned kSysmMsp = 8, kSysmPsp = 9, kSysmPrimask = 16, kSysmControl = 20;

bool takes_kind(unsigned kind) { return kind == 2 || kind == 3; }

} // namespace

void ChipDebugTarget::attach()
{
    killed_ = false;
    cpu_.attach_debugger(true);
    cpu_.request_halt(); // called between two runs of the board: halts at once
    cpu_.take_halt();    // GDB finds it halted; that is no stop to report
}

std::optional<StopEvent> ChipDebugTarget::take_stop()
{
    const std::optional<CoreHalt> halt = cpu_.take_halt();
    if (!halt) return std::nullopt;
    return stop_of(*halt);
}

StopEvent ChipDebugTarget::stop_of(const CoreHalt &halt) const
{
    StopEvent e;
    switch (halt.kind) {
    case CoreHalt::Kind::Breakpoint: {
        const std::uint32_t pc = cpu_.core().pc();
        const bool hw = std::find(hardware_.begin(), hardware_.end(), pc) != hardware_.end();
        e.kind = hw ? StopEvent::Kind::HardwareBreakpoint : StopEvent::Kind::SoftwareBreakpoint;
        break;
    }
    case CoreHalt::Kind::Watchpoint: {
        const CortexM0::WatchHit &hit = cpu_.core().watch_hit();
        e.kind = StopEvent::Kind::Watchpoint;
        const auto i = static_cast<std::size_t>(hit.watchpoint);
        e.watch = i < watches_.size() ? watches_[i].type : WatchType::Access;
        // GDB looks the watchpoint up by the address it set.
        e.data_address = i < watches_.size() ? watches_[i].address : hit.address;
        break;
    }
    case CoreHalt::Kind::Stepped:
        e.kind = StopEvent::Kind::StepDone;
        break;
    case CoreHalt::Kind::Interrupted:
        e.kind = StopEvent::Kind::Interrupted;
        break;
    case CoreHalt::Kind::Fault:
        e.kind = StopEvent::Kind::LockedUp;
        break;
    }
    return e;
}

// ------------------------------------------------------------------ registers

std::uint32_t ChipDebugTarget::read_register(int n)
{
    const CortexM0 &core = cpu_.core();
    switch (n) {
    case debug_reg::kXpsr:
        return core.xpsr();
    case debug_reg::kMsp:
        return core.special(kSysmMsp);
    case debug_reg::kPsp:
        return core.special(kSysmPsp);
    case debug_reg::kPrimask:
        return core.special(kSysmPrimask);
    case debug_reg::kControl:
        return core.special(kSysmControl);
    default:
        return core.reg(n); // r0..r12, sp (the active stack pointer), lr, pc
    }
}

bool ChipDebugTarget::write_register(int n, std::uint32_t value)
{
    CortexM0 &core = cpu_.core();
    switch (n) {
    case debug_reg::kXpsr:
        // Only the flags can change; the exception number and the Thumb bit
        // are the core's state, as on the chip.
        core.set_xpsr(value);
        return true;
    case debug_reg::kMsp:
        core.set_special(kSysmMsp, value);
        return true;
    case debug_reg::kPsp:
        core.set_special(kSysmPsp, value);
        return true;
    case debug_reg::kPrimask:
        core.set_special(kSysmPrimask, value);
        return true;
    case debug_reg::kControl:
        core.set_special(kSysmControl, value);
        return true;
    default:
        core.set_reg(n, value);
        return true;
    }
}

// ------------------------------------------------------------------ memory

bool ChipDebugTarget::read_byte(std::uint32_t address, std::uint8_t &byte)
{
    std::uint32_t value = 0;
    if (cpu_.core().peek(address, 1, value)) {
        byte = static_cast<std::uint8_t>(value);
        return true;
    }
    // Registers are read as whole words; the byte is taken from the word.
    const std::uint32_t word = address & ~3u;
    if (!board_.peek(word, 4, value)) return false;
    byte = static_cast<std::uint8_t>(value >> (8 * (address - word)));
    return true;
}

std::size_t ChipDebugTarget::read_memory(std::uint32_t address, std::uint8_t *out, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        if (!read_byte(address + static_cast<std::uint32_t>(i), out[i])) return i;
    }
    return size;
}

bool ChipDebugTarget::write_memory(std::uint32_t address, const std::uint8_t *data, std::size_t size)
{
    if (size == 0) return true;
    const CortexM0 &core = cpu_.core();
    std::uint32_t probe = 0;
    // RAM takes any bytes (it is one block, above flash); flash only through
    // its controller, as on the chip.
    const std::uint32_t last = address + static_cast<std::uint32_t>(size - 1);
    const bool in_ram = address >= kRamBase && core.peek(address, 1, probe) && core.peek(last, 1, probe);
    if (!in_ram) return write_device(address, data, size);
    for (std::size_t i = 0; i < size; ++i) cpu_.core().poke(address + static_cast<std::uint32_t>(i), data[i], 1);
    return true;
}

bool ChipDebugTarget::write_device(std::uint32_t address, const std::uint8_t *data, std::size_t size)
{
    // One register access of the chip's sizes, aligned, to a register the
    // device implements: what the debugger's write on the chip's bus does,
    // side effects included.
    if ((size != 1 && size != 2 && size != 4) || address % size != 0) return false;
    std::uint32_t value = 0;
    if (!board_.peek(address & ~3u, 4, value)) return false;
    value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= std::uint32_t(data[i]) << (8 * i);
    try {
        board_.poke(address, value, static_cast<unsigned>(size));
    } catch (const BoardError &) {
        return false;
    }
    return true;
}

// ------------------------------------------------------------------ breakpoints

bool ChipDebugTarget::add_breakpoint(BreakpointType type, std::uint32_t address, unsigned kind)
{
    std::uint32_t probe = 0;
    if (!takes_kind(kind) || (address & 1u) != 0 || !cpu_.core().peek(address, 2, probe)) return false;
    std::vector<std::uint32_t> &list = type == BreakpointType::Hardware ? hardware_ : software_;
    if (std::find(list.begin(), list.end(), address) != list.end()) return true;
    if (type == BreakpointType::Hardware && hardware_.size() >= static_cast<std::size_t>(kHardwareBreakpoints)) {
        return false;
    }
    list.push_back(address);
    update_breakpoints();
    return true;
}

bool ChipDebugTarget::remove_breakpoint(BreakpointType type, std::uint32_t address, unsigned kind)
{
    std::vector<std::uint32_t> &list = type == BreakpointType::Hardware ? hardware_ : software_;
    const auto it = std::find(list.begin(), list.end(), address);
    if (!takes_kind(kind) || it == list.end()) return false;
    list.erase(it);
    update_breakpoints();
    return true;
}

void ChipDebugTarget::update_breakpoints()
{
    std::vector<std::uint32_t> all = software_;
    all.insert(all.end(), hardware_.begin(), hardware_.end());
    cpu_.core().set_breakpoints(std::move(all));
}

bool ChipDebugTarget::add_watchpoint(WatchType type, std::uint32_t address, std::uint32_t length)
{
    if (length == 0 || address + length < address) return false;
    if (watches_.size() >= static_cast<std::size_t>(kWatchpoints)) return false;
    watches_.push_back(Watch{type, address, length});
    update_watchpoints();
    return true;
}

bool ChipDebugTarget::remove_watchpoint(WatchType type, std::uint32_t address, std::uint32_t length)
{
    const auto it = std::find_if(watches_.begin(), watches_.end(), [&](const Watch &w) {
        return w.type == type && w.address == address && w.length == length;
    });
    if (it == watches_.end()) return false;
    watches_.erase(it);
    update_watchpoints();
    return true;
}

void ChipDebugTarget::update_watchpoints()
{
    std::vector<CortexM0::Watchpoint> core_watches;
    for (const Watch &w : watches_) {
        core_watches.push_back(
            CortexM0::Watchpoint{w.address, w.length, w.type != WatchType::Write, w.type != WatchType::Read});
    }
    cpu_.core().set_watchpoints(std::move(core_watches));
}

// ------------------------------------------------------------------ run control

void ChipDebugTarget::resume(ResumeMode mode)
{
    if (mode == ResumeMode::Step) cpu_.core().step_once();
    cpu_.release();
}

void ChipDebugTarget::interrupt() { cpu_.request_halt(); }

void ChipDebugTarget::reset(ResetMode)
{
    // Either way the core waits at the reset vector until the debugger lets
    // it go; the chip's peripherals start over as at power-on.
    board_.reset_devices();
    cpu_.reset();
}

MonitorReply ChipDebugTarget::monitor(std::string_view command)
{
    if (command == "cycles") {
        const Cycles now = board_.now();
        return {true,
                "cycles " + std::to_string(now) + " (" + std::to_string(now / (kCoreHz / 1000000)) +
                    " us of virtual time)\n"};
    }
    if (command == "stats") {
        std::string text;
        for (const auto &[name, value] : statistics(board_)) {
            text += name;
            text += ' ';
            text += value;
            text += '\n';
        }
        return {true, text};
    }
    if (command == "help" || command.empty()) {
        return {true,
                "monitor reset: reset the chip, run from the reset vector on continue\n"
                "monitor reset halt: the same, held at the reset vector\n"
                "monitor cycles: the board's virtual time in core cycles\n"
                "monitor stats: the statistics snt-sim --stats prints\n"};
    }
    return {false, "unknown monitor command '" + std::string(command) + "' (try monitor help)\n"};
}

void ChipDebugTarget::detach()
{
    software_.clear();
    hardware_.clear();
    watches_.clear();
    update_breakpoints();
    update_watchpoints();
    cpu_.attach_debugger(false);
    cpu_.release();
}

void ChipDebugTarget::kill()
{
    detach();
    killed_ = true;
}

} // namespace sim
