// Delay loops: found at their backward branch by decoding, and let run many
// passes at once where nothing could tell the difference.
//
// The firmware waits between the edges of its two-wire bus in a loop such as
//     loop: subs r3, #1 ; str r1, [r2, #24] ; str r1, [r2, #40] ; cmp r3, #0 ; bne loop
// (a pulse on a pin nothing is connected to). Such a loop changes only its
// counter, the flags and what its stores set; when the stores are the same
// every pass and their targets keep only the last value stored (GPIO set
// and reset registers: a pass leaves the output latches as the pass before
// left them), the state after n more passes is known at once: the counter
// counted down n times, the flags of the last compare, n passes' cycles and
// instructions. The Bus says whether the stores' targets are of that kind
// and whether anything watches them (may_fast_forward).
#include "board/cpu/cortex_m0_core.h"

#include <algorithm>

namespace sim {

using namespace m0;

namespace {

// What the interpreter charges (cortex_m0_execute.cpp): a data-processing
// instruction 1 cycle, a store 2, a taken branch 3. A pass measured at any
// other length is not skipped (back_edge compares).
constexpr CortexM0::Cycles kAluCycles = 1, kStoreCycles = 2, kTakenBranchCycles = 3;
constexpr unsigned kMaxLoopLength = 8; // instructions, the branch included
constexpr unsigned kNotEqual = 1;      // BNE's condition

struct Flags {
    bool n, z, c, v;
};

// The flags of CMP x, #y (and of SUBS x, #y).
Flags compare(std::uint32_t x, std::uint32_t y)
{
    const std::uint32_t r = x - y;
    return {(r >> 31) != 0, r == 0, x >= y, (((x ^ y) & (x ^ r)) >> 31) != 0};
}

bool holds(unsigned condition, const Flags &f)
{
    switch (condition) {
    case 0:
        return f.z;
    case 1:
        return !f.z;
    case 2:
        return f.c;
    case 3:
        return !f.c;
    case 4:
        return f.n;
    case 5:
        return !f.n;
    case 6:
        return f.v;
    case 7:
        return !f.v;
    case 8:
        return f.c && !f.z;
    case 9:
        return !f.c || f.z;
    case 10:
        return f.n == f.v;
    case 11:
        return f.n != f.v;
    case 12:
        return !f.z && f.n == f.v;
    default:
        return f.z || f.n != f.v; // 13: LE
    }
}

} // namespace

void CortexM0::forget_delay_loops()
{
    delay_loops_.clear();
    for (std::uint32_t at = 0; at + 1 < predecoded_.size(); ++at) {
        Decoded &d = predecoded_[at];
        const bool conditional = d.op >= Op::Beq && d.op <= Op::Ble;
        if ((!conditional && d.op != Op::B) || d.imm >= -2) continue;
        d.a = d.b = d.c = 0;
        if (closes_storing_loop(2 * at)) d.c |= kStoringLoop;
        // A delay loop's branch: its index (b) and the cycles of a pass (a),
        // which back_edge compares before it calls skip_passes.
        DelayLoop loop;
        if (conditional && delay_loops_.size() < kMaxDelayLoops && read_delay_loop(memory_.flash_base + 2 * at, loop) &&
            loop.period <= 0xFF) {
            d.c |= kMayBeDelayLoop;
            d.a = static_cast<std::uint8_t>(loop.period);
            d.b = static_cast<std::uint8_t>(delay_loops_.size());
            delay_loops_.push_back(loop);
        }
    }
}

// Whether the backward branch at `branch_offset` in flash closes straight
// code with a store in it: from its target, every instruction before it
// goes on to the next (no branch, call, return, write of pc, 32-bit
// instruction, sleep or breakpoint), and one of them stores to memory
// (loop detection's mark of a write, whatever the address).
bool CortexM0::closes_storing_loop(std::uint32_t branch_offset) const
{
    constexpr std::uint32_t kMaxStraight = 32; // halfwords looked at
    const Decoded &branch = predecoded_[branch_offset / 2];
    const std::uint32_t target = branch_offset + 4 + static_cast<std::uint32_t>(branch.imm);
    if (target >= branch_offset || branch_offset - target > 2 * kMaxStraight) return false;
    bool stores = false;
    for (std::uint32_t at = target; at != branch_offset; at += 2) {
        const Decoded &d = predecoded_[at / 2];
        switch (d.op) {
        case Op::StrReg:
        case Op::StrhReg:
        case Op::StrbReg:
        case Op::StrImm:
        case Op::StrbImm:
        case Op::StrhImm:
        case Op::StrSp:
            stores = true;
            break;
        case Op::Push:
        case Op::Stm:
            stores = stores || d.b != 0;
            break;
        case Op::Pop:
            if ((d.imm & 0x8000) != 0) return false;
            break;
        case Op::AddHighPc:
        case Op::MovHighPc:
        case Op::Bx:
        case Op::Blx:
        case Op::HighPcOperand:
        case Op::Bkpt:
        case Op::Wfe:
        case Op::Wfi:
        case Op::Svc:
        case Op::B:
        case Op::Wide:
        case Op::Bl:
        case Op::Undefined:
        case Op::Refetch:
            return false;
        default:
            if (d.op >= Op::Beq && d.op <= Op::Ble) return false;
            break;
        }
    }
    return stores;
}

bool CortexM0::skip_passes(unsigned index, Cycles &arrival)
{
    bool ran_out = false;
    arrival = fast_forward(delay_loops_[index], arrival, ran_out);
    return ran_out;
}

// The loop whose backward conditional branch is at `branch`, when its body
// is only: one SUBS of the counter by an immediate, then at most one CMP of
// the counter with an immediate, and word stores (STR Rt, [Rn, #imm]) of
// registers other than the counter, in any order around them.
bool CortexM0::read_delay_loop(std::uint32_t branch, DelayLoop &loop) const
{
    std::uint32_t hw = 0;
    if (!peek(branch, 2, hw)) return false;
    const Decoded b = decode_[hw];
    if (b.op < Op::Beq || b.op > Op::Ble || b.imm >= -2) return false;
    loop.first = branch + 4 + static_cast<std::uint32_t>(b.imm);
    loop.last = branch;
    loop.condition = static_cast<unsigned>(b.op) - static_cast<unsigned>(Op::Beq);
    loop.length = (branch - loop.first) / 2 + 1;
    if (loop.length > kMaxLoopLength) return false;
    bool counted = false;
    Cycles at = 0;
    for (std::uint32_t pc = loop.first; pc != branch; pc += 2) {
        if (!peek(pc, 2, hw)) return false;
        const Decoded d = decode_[hw];
        if ((d.op == Op::SubImm8 || (d.op == Op::SubImm3 && d.a == d.b)) && !counted && d.imm != 0) {
            counted = true;
            loop.counter = d.a;
            loop.step = static_cast<std::uint32_t>(d.imm);
        } else if (d.op == Op::CmpImm && counted && !loop.compare && d.a == loop.counter) {
            loop.compare = true;
            loop.compare_with = static_cast<std::uint32_t>(d.imm);
        } else if (d.op == Op::StrImm && loop.stores < kMaxLoopStores) {
            loop.value_reg[loop.stores] = d.a;
            loop.base_reg[loop.stores] = d.b;
            loop.offset[loop.stores] = static_cast<std::uint32_t>(d.imm);
            ++loop.stores;
            loop.last_store = at;
            at += kStoreCycles;
            continue;
        } else {
            return false;
        }
        at += kAluCycles;
    }
    loop.period = at + kTakenBranchCycles;
    if (!counted || loop.stores == 0) return false;
    for (unsigned i = 0; i < loop.stores; ++i) {
        if (loop.value_reg[i] == loop.counter || loop.base_reg[i] == loop.counter) return false;
    }
    return true;
}

// At the back edge of `loop` after one whole pass (arrival: the first cycle
// of the next): lets as many further passes go at once as run whole before
// the batch's end (so before the next event, the run's end, and with no
// exception to be taken: the batch would have ended). Where all the passes
// left fit, the last one, whose branch falls through, goes too (`ran_out`):
// now() is then that branch's first cycle, and the branch completes as not
// taken. Returns the arrival after the passes that took the branch.
//
// Exactness: the passes let go are those the interpreter would run, one by
// one, with the same registers, flags, cycles and instruction count; their
// stores would leave their targets as they are, and the Bus, which sees to
// everything looked at after an access (the run's stop condition among it),
// is asked first. Only on the fast path: a debugger's breakpoints and
// watchpoints, a step and a trace see every instruction.
CortexM0::Cycles CortexM0::fast_forward(const DelayLoop &loop, Cycles arrival, bool &ran_out)
{
    ran_out = false;
    if (stop_at_ <= arrival) return arrival;
    const Cycles room = stop_at_ - arrival;
    // The passes that fit before the batch's end, room / period: a division
    // only where the passes asked for might not fit.
    auto fit_of = [&](Cycles wanted) { return wanted * loop.period <= room ? wanted : room / loop.period; };
    std::uint32_t counter = r_[loop.counter];
    Flags flags{}; // the last pass's, once one goes
    Cycles passes = 0;
    bool more = true;  // whether a further pass may still take the branch
    bool last = false; // whether the passes include the one that falls through
    if (loop.condition == kNotEqual && loop.step == 1) {
        // The firmware's kind, counted down by one to the compared value
        // (0 without a CMP): the branch is taken until the counter gets
        // there, so all but the last of the passes left go.
        const std::uint32_t until = loop.compare ? loop.compare_with : 0;
        const Cycles left = counter - until == 0 ? Cycles{1} << 32 : counter - until;
        passes = fit_of(left - 1);
        more = passes < left - 1; // the one after the counter's last falls through
        // The last pass too, when it runs whole before the batch's end.
        last = !more && left * loop.period <= room;
        if (last) passes = left;
        counter -= static_cast<std::uint32_t>(passes);
        if (passes != 0) flags = loop.compare ? compare(counter, until) : compare(counter + 1, 1);
    }
    const Cycles fit = more ? room / loop.period : passes;
    while (more && passes < fit) {
        const std::uint32_t next = counter - loop.step;
        const Flags f = loop.compare ? compare(next, loop.compare_with) : compare(counter, loop.step);
        if (!holds(loop.condition, f)) break;
        counter = next;
        flags = f;
        ++passes;
    }
    if (passes == 0) return arrival;
    std::array<std::uint32_t, kMaxLoopStores> addresses{}, values{};
    for (unsigned i = 0; i < loop.stores; ++i) {
        addresses[i] = r_[loop.base_reg[i]] + loop.offset[i];
        values[i] = r_[loop.value_reg[i]];
        // RAM and flash are the core's: their stores are not the Bus's to judge.
        if (addresses[i] - memory_.ram_base < memory_.ram_size) return arrival;
        if (addresses[i] - memory_.flash_base < memory_.flash_size) return arrival;
    }
    const Bus::LoopSkip skip{loop.first,    loop.last,   addresses.data(),
                             values.data(), loop.stores, arrival + (passes - 1) * loop.period + loop.last_store};
    if (!bus_.may_fast_forward(skip)) return arrival;
    r_[loop.counter] = counter;
    set_nz(flags.n, flags.z);
    c_ = flags.c;
    v_ = flags.v;
    now_ += passes * loop.period;
    instructions_ += passes * loop.length;
    fast_forwarded_passes_ += passes;
    ran_out = last;
    return arrival + (last ? passes - 1 : passes) * loop.period;
}

} // namespace sim
