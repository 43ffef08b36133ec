// Execution: the interpreter's loop over the decode table, the
// instructions off its fast path, loop detection, and the batches run()
// drives.
#include "board/cpu/cortex_m0_core.h"

#include <array>
#include <cstring>
#include <utility>

namespace sim {

using namespace m0;

// ------------------------------------------------------------ instructions

namespace {

struct Alu {
    std::uint32_t &n, &z; // CortexM0::n_of_ and z_of_
    bool &c, &v;

    std::uint32_t nz(std::uint32_t r)
    {
        n = z = r;
        return r;
    }
    std::uint32_t add(std::uint32_t x, std::uint32_t y, bool carry)
    {
        const std::uint64_t wide = std::uint64_t(x) + y + carry;
        const auto r = static_cast<std::uint32_t>(wide);
        c = wide >> 32;
        v = ((x ^ r) & (y ^ r)) >> 31;
        return nz(r);
    }
    std::uint32_t sub(std::uint32_t x, std::uint32_t y, bool carry) { return add(x, ~y, carry); }
    // Without a carry in (all but ADC and SBC): the same flags, in fewer
    // host instructions than through the wide sum.
    std::uint32_t add(std::uint32_t x, std::uint32_t y)
    {
        const std::uint32_t r = x + y;
        c = r < x;
        v = ((x ^ r) & (y ^ r)) >> 31;
        return nz(r);
    }
    std::uint32_t sub(std::uint32_t x, std::uint32_t y) // x + ~y + 1
    {
        const std::uint32_t r = x - y;
        c = x >= y;
        v = ((x ^ y) & (x ^ r)) >> 31; // the operands' signs differ, and the result's is not x's
        return nz(r);
    }

    // Shifts by the bottom byte of a register.
    std::uint32_t lsl(std::uint32_t x, std::uint32_t amount)
    {
        amount &= 0xFF;
        if (amount == 0) return nz(x);
        if (amount < 32) {
            c = (x >> (32 - amount)) & 1;
            return nz(x << amount);
        }
        c = amount == 32 ? x & 1 : 0;
        return nz(0);
    }
    std::uint32_t lsr(std::uint32_t x, std::uint32_t amount)
    {
        amount &= 0xFF;
        if (amount == 0) return nz(x);
        if (amount < 32) {
            c = (x >> (amount - 1)) & 1;
            return nz(x >> amount);
        }
        c = amount == 32 ? x >> 31 : 0;
        return nz(0);
    }
    std::uint32_t asr(std::uint32_t x, std::uint32_t amount)
    {
        amount &= 0xFF;
        if (amount == 0) return nz(x);
        if (amount < 32) {
            c = (x >> (amount - 1)) & 1;
            return nz(arithmetic_shift_right(x, amount));
        }
        c = x >> 31;
        return nz(arithmetic_shift_right(x, 31));
    }
    std::uint32_t ror(std::uint32_t x, std::uint32_t amount)
    {
        amount &= 0xFF;
        if (amount == 0) return nz(x);
        const unsigned k = amount & 31;
        const std::uint32_t r = k ? (x >> k) | (x << (32 - k)) : x;
        c = r >> 31;
        return nz(r);
    }
};

} // namespace

// -------------------------------------------------------------- loops

// Inlined into the interpreter's loop, as every taken backward branch calls
// it (the only caller, below). With kSkip (the fast path), a delay loop
// that has just run one whole pass, from the last back edge to this one
// with nothing between (its cycles are one pass's), lets its next passes go
// at once where nothing could tell (fast_forward).
// True when the delay loop ran out: its last pass went too, and the branch
// falls through (now_ at its first cycle).
// `entry` is the branch's in the decoded flash, with its marks in c: a
// kMayBeDelayLoop branch is a delay loop's, a its pass's cycles and b its
// index, so that other loops pay nothing for it. At a kStoringLoop branch the
// state is not compared, nor kept: the next back edge finds a store made
// since (the straight code from the target stores before anything leaves
// it; an exception on the way forgets the loop), so nothing reads it.
template <bool kSkip>
inline __attribute__((always_inline)) bool CortexM0::back_edge(std::uint32_t target, std::uint32_t branch,
                                                               Cycles arrival, const Decoded &entry)
{
    const unsigned marks = entry.c;
    bool ran_out = false;
    if constexpr (kSkip) {
        if ((marks & kMayBeDelayLoop) != 0 && target == spin_target_ && spin_dirty_ &&
            arrival - spin_arrival_ == entry.a) {
            ran_out = skip_passes(entry.b, arrival);
        }
    }
    if ((marks & kStoringLoop) != 0 || ran_out) { // a delay loop is one
        spin_target_ = target;
        spin_arrival_ = arrival;
        spin_load_ = 0;
        spin_dirty_ = ran_out; // the last pass stored after that arrival
        return ran_out;
    }
    const std::uint32_t flags =
        std::uint32_t(n()) | std::uint32_t(z()) << 1 | std::uint32_t(c_) << 2 | std::uint32_t(v_) << 3;
    if (target == spin_target_ && !spin_dirty_ && flags == spin_flags_ &&
        std::memcmp(r_.data(), spin_regs_.data(), sizeof spin_regs_) == 0) {
        // The same state at the same place with nothing written: only an
        // event (an interrupt, a peripheral's register) can end this loop.
        spin_period_ = arrival - spin_arrival_;
        spin_address_ = spin_load_;
        spin_end_ = branch;
        spin_arrival_ = arrival;
        spin_load_ = 0;
        stop(Stop::Spinning);
        return false;
    }
    spin_target_ = target;
    std::memcpy(spin_regs_.data(), r_.data(), sizeof spin_regs_);
    spin_flags_ = flags;
    spin_arrival_ = arrival;
    spin_load_ = 0;
    spin_dirty_ = false;
    return false;
}

// The interpreter's loop: one handler per operation, kept in one function
// so the compiler keeps the registers and flags in machine registers.
// Built with GCC, each handler ends by fetching the next instruction and
// jumping to its handler itself (threaded dispatch through the addresses of
// labels: no range check, and a copy of the fetch in every handler, which
// the build lets GCC make with max-goto-duplication-insns). Elsewhere a
// switch: clang (the WebAssembly build's compiler too) keeps the switch's
// code lean where it spills the threaded one's state.
#if defined(__GNUC__) && !defined(__clang__)
#define SNT_M0_THREADED 1
#else
#define SNT_M0_THREADED 0
#endif
template <CortexM0::Mode kMode>
void CortexM0::execute() // NOLINT(readability-function-size)
{
    auto &r = r_;
    Alu alu{n_of_, z_of_, c_, v_};
    const Decoded *const decode = decode_;
    std::uint32_t pc = 0, next = 0;
    unsigned cycles = 0;
    const Decoded *d = nullptr; // the instruction's entry, read field by field as its handler needs them
    [[maybe_unused]] Cycles start = 0;
    // Time in the loop's own variable: on the fast path, now_ is brought up
    // to it for what reads it (the Bus's accesses, exception entry and
    // return, a delay loop's passes, a fault: each such call sets it first)
    // and read back after the calls that move it, and written back when the
    // batch ends. The trace's and the debugger's paths write it after every
    // instruction.
    Cycles now = now_;

    // The instruction at pc, decoded: flash from its decoded copy; anything
    // else (RAM, flash seen at 0, a fault) from the decode table, copied
    // here with a Refetch mark after it for the threaded loop's straight
    // code (the switch always looks up).
#if SNT_M0_THREADED
#define SNT_M0_LABEL(name) &&op_##name,
    static const void *const handlers[] = {SNT_M0_OPERATIONS(SNT_M0_LABEL)};
#undef SNT_M0_LABEL
    if constexpr (kMode == Mode::Fast) {
        if (fast_handlers_ != handlers) resolve_handlers(handlers);
    }
#endif
    auto locate = [&]() __attribute__((always_inline))
    {
        const std::uint32_t offset = pc - memory_.flash_base;
        if (offset < fetch_limit_) {
            d = &predecoded_[offset >> 1];
        } else {
            now_ = now; // the fetch may fault
#if SNT_M0_THREADED
            outside_[0] = decode[fetch_outside(pc)];
            outside_[0].fast = handlers[static_cast<unsigned>(outside_[0].op)];
            d = outside_.data();
#else
            d = &decode[fetch_outside(pc)];
#endif
        }
    };
    // The next instruction, decoded; false when the batch is over.
    // `sequential` after an instruction that went on to the next halfword
    // (no branch, not 32 bits): the entry after the last one is the next,
    // or a Refetch mark where it is not (after flash's last halfword or
    // after an entry from elsewhere).
    auto fetch_next = [&](bool sequential) __attribute__((always_inline))
    {
        if (now >= stop_at_) {
            // On the fast path, a batch that nothing stopped is followed by
            // the next one here where run() would start it at once.
            if (kMode != Mode::Fast || stopped_ || !next_batch(now)) return false;
            now = now_;
            sequential = false; // an exception may have been entered
        }
        pc = r[15];
        if constexpr (kMode == Mode::Debug) {
            if (at_breakpoint(pc)) {
                stop(Stop::DebugBreakpoint); // not executed: pc stays at it
                return false;
            }
        }
        if (sequential) {
            ++d;
        } else {
            locate();
        }
        if constexpr (kMode == Mode::Trace) {
            start = now;
            trace_record_.pc = pc;
            trace_record_.opcode = fetch(pc);
            trace_record_.accesses.clear();
        }
        next = pc + 2;
        cycles = 1;
        return true;
    };
    // The instruction done: pc and time move on.
    auto complete = [&]() __attribute__((always_inline))
    {
        r[15] = next;
        now += cycles;
        if constexpr (kMode != Mode::Fast) now_ = now;
        ++instructions_;
        if constexpr (kMode == Mode::Trace) {
            trace_record_.cycles = now - start;
            trace_record_.regs = r_;
            trace_record_.xpsr = xpsr();
            trace_(trace_record_);
        } else if constexpr (kMode == Mode::Debug) {
            after_debug_instruction();
        }
    };

    auto imm = [&]() __attribute__((always_inline)) { return static_cast<std::uint32_t>(d->imm); };

    // A conditional branch or B: true when taken. A backward one may close
    // a loop. Not taken, it goes on to the next entry (SNT_M0_STEP).
    auto branch_if = [&](bool taken) __attribute__((always_inline))
    {
        if (!taken) return false;
        next = pc + 4 + imm();
        cycles = 3;
        if (d->imm < -2) {
            now_ = now;
            if (back_edge<kMode == Mode::Fast>(next, pc, now + cycles, *d)) { // a delay loop ran out
                next = pc + 2;
                cycles = 1;
            }
            now = now_;
        }
        return true;
    };
    // A return that may be an exception return (BX, POP {pc}).
    auto return_to = [&](std::uint32_t target) __attribute__((always_inline))
    {
        if ((target >> 28) == 0xF && !active_.empty()) {
            now_ = now + cycles;
            cycles = 0;
            exception_return(target);
            now = now_;
            next = r[15];
        } else {
            if (!(target & 1)) set_thumb(false);
            next = target & ~1u;
        }
    };

#if SNT_M0_THREADED
#define SNT_M0_OP(name) op_##name:
#define SNT_M0_DISPATCH                                                                                                \
    do {                                                                                                               \
        if constexpr (kMode == Mode::Fast) goto * d->fast;                                                             \
        goto *handlers[static_cast<unsigned>(d->op)];                                                                  \
    } while (0)
#define SNT_M0_NEXT                                                                                                    \
    do {                                                                                                               \
        complete();                                                                                                    \
        if (!fetch_next(false)) goto done;                                                                             \
        SNT_M0_DISPATCH;                                                                                               \
    } while (0)
#define SNT_M0_STEP                                                                                                    \
    do {                                                                                                               \
        complete();                                                                                                    \
        if (!fetch_next(true)) goto done;                                                                              \
        SNT_M0_DISPATCH;                                                                                               \
    } while (0)
    if (!fetch_next(false)) goto done;
    SNT_M0_DISPATCH;
    {
#else
#define SNT_M0_OP(name) case Op::name:
#define SNT_M0_NEXT     break
#define SNT_M0_STEP     break
    while (fetch_next(false)) {
        switch (d->op) {
#endif
        SNT_M0_OP(MovsReg)
        r[d->a] = alu.nz(r[d->b]);
        SNT_M0_STEP;
        // The shifts read their operands once, before the stores of the
        // flags, which the compiler cannot tell apart from the entry's
        // fields and the registers.
        SNT_M0_OP(LslImm)
        {
            const std::uint32_t x = r[d->b], amount = imm();
            const unsigned to = d->a;
            c_ = ((x >> (32 - amount)) & 1) != 0;
            r[to] = alu.nz(x << amount);
            SNT_M0_STEP;
        }
        SNT_M0_OP(LsrImm)
        {
            const std::uint32_t x = r[d->b], amount = imm();
            const unsigned to = d->a;
            c_ = ((x >> (amount - 1)) & 1) != 0;
            r[to] = alu.nz(x >> amount);
            SNT_M0_STEP;
        }
        SNT_M0_OP(LsrImm32)
        c_ = r[d->b] >> 31;
        r[d->a] = alu.nz(0);
        SNT_M0_STEP;
        SNT_M0_OP(AsrImm)
        {
            const std::uint32_t x = r[d->b], amount = imm();
            const unsigned to = d->a;
            c_ = ((x >> (amount - 1)) & 1) != 0;
            r[to] = alu.nz(arithmetic_shift_right(x, amount));
            SNT_M0_STEP;
        }
        SNT_M0_OP(AsrImm32)
        c_ = r[d->b] >> 31;
        r[d->a] = alu.nz(arithmetic_shift_right(r[d->b], 31));
        SNT_M0_STEP;
        SNT_M0_OP(AddReg)
        r[d->a] = alu.add(r[d->b], r[d->c]);
        SNT_M0_STEP;
        SNT_M0_OP(SubReg)
        r[d->a] = alu.sub(r[d->b], r[d->c]);
        SNT_M0_STEP;
        SNT_M0_OP(AddImm3)
        r[d->a] = alu.add(r[d->b], imm());
        SNT_M0_STEP;
        SNT_M0_OP(SubImm3)
        r[d->a] = alu.sub(r[d->b], imm());
        SNT_M0_STEP;
        SNT_M0_OP(MovImm)
        r[d->a] = alu.nz(imm());
        SNT_M0_STEP;
        SNT_M0_OP(CmpImm)
        alu.sub(r[d->a], imm());
        SNT_M0_STEP;
        SNT_M0_OP(AddImm8)
        r[d->a] = alu.add(r[d->a], imm());
        SNT_M0_STEP;
        SNT_M0_OP(SubImm8)
        r[d->a] = alu.sub(r[d->a], imm());
        SNT_M0_STEP;
        SNT_M0_OP(And)
        r[d->a] = alu.nz(r[d->a] & r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Eor)
        r[d->a] = alu.nz(r[d->a] ^ r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(LslReg)
        r[d->a] = alu.lsl(r[d->a], r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(LsrReg)
        r[d->a] = alu.lsr(r[d->a], r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(AsrReg)
        r[d->a] = alu.asr(r[d->a], r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Adc)
        r[d->a] = alu.add(r[d->a], r[d->b], c_);
        SNT_M0_STEP;
        SNT_M0_OP(Sbc)
        r[d->a] = alu.sub(r[d->a], r[d->b], c_);
        SNT_M0_STEP;
        SNT_M0_OP(Ror)
        r[d->a] = alu.ror(r[d->a], r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Tst)
        alu.nz(r[d->a] & r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Rsb)
        r[d->a] = alu.sub(0, r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Cmp)
        alu.sub(r[d->a], r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Cmn)
        alu.add(r[d->a], r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Orr)
        r[d->a] = alu.nz(r[d->a] | r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Mul)
        r[d->a] = alu.nz(r[d->a] * r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Bic)
        r[d->a] = alu.nz(r[d->a] & ~r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Mvn)
        r[d->a] = alu.nz(~r[d->b]);
        SNT_M0_STEP;

        SNT_M0_OP(AddHigh)
        r[d->a] += r[d->b];
        SNT_M0_STEP;
        SNT_M0_OP(AddHighSp)
        r[13] = (r[13] + r[d->b]) & ~3u;
        SNT_M0_STEP;
        SNT_M0_OP(AddHighPc)
        next = (pc + 4 + r[d->b]) & ~1u;
        cycles = 3;
        SNT_M0_NEXT;
        SNT_M0_OP(CmpHigh)
        alu.sub(r[d->a], r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(MovHigh)
        r[d->a] = r[d->b];
        SNT_M0_STEP;
        SNT_M0_OP(MovHighSp)
        r[13] = r[d->b] & ~3u;
        SNT_M0_STEP;
        SNT_M0_OP(MovHighPc)
        next = r[d->b] & ~1u;
        cycles = 3;
        SNT_M0_NEXT;
        SNT_M0_OP(Bx)
        cycles = 3;
        return_to(r[d->b]);
        SNT_M0_NEXT;
        SNT_M0_OP(Blx)
        {
            const std::uint32_t target = r[d->b];
            r[14] = (pc + 2) | 1;
            if (!(target & 1)) set_thumb(false);
            next = target & ~1u;
            cycles = 3;
            SNT_M0_NEXT;
        }
        SNT_M0_OP(HighPcOperand)
        {
            const Jump jump = high_register_pc(pc, fetch(pc));
            next = jump.next;
            cycles = jump.cycles;
            SNT_M0_NEXT;
        }

        SNT_M0_OP(LdrLiteral)
        r[d->a] = load<4, kMode>(((pc + 4) & ~3u) + imm(), now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(LdrFlash)
        if constexpr (kMode == Mode::Fast) {
            r[d->a] = read_le<4>(flash_.data() + imm()); // what load() does there
        } else {
            r[d->a] = load<4, kMode>(memory_.flash_base + imm(), now);
        }
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(StrReg)
        store<4, kMode>(r[d->b] + r[d->c], r[d->a], now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(StrhReg)
        store<2, kMode>(r[d->b] + r[d->c], r[d->a], now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(StrbReg)
        store<1, kMode>(r[d->b] + r[d->c], r[d->a], now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(LdrsbReg)
        r[d->a] = sign_extend(load<1, kMode>(r[d->b] + r[d->c], now), 8);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(LdrReg)
        r[d->a] = load<4, kMode>(r[d->b] + r[d->c], now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(LdrhReg)
        r[d->a] = load<2, kMode>(r[d->b] + r[d->c], now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(LdrbReg)
        r[d->a] = load<1, kMode>(r[d->b] + r[d->c], now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(LdrshReg)
        r[d->a] = sign_extend(load<2, kMode>(r[d->b] + r[d->c], now), 16);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(StrImm)
        store<4, kMode>(r[d->b] + imm(), r[d->a], now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(LdrImm)
        r[d->a] = load<4, kMode>(r[d->b] + imm(), now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(StrbImm)
        store<1, kMode>(r[d->b] + imm(), r[d->a], now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(LdrbImm)
        r[d->a] = load<1, kMode>(r[d->b] + imm(), now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(StrhImm)
        store<2, kMode>(r[d->b] + imm(), r[d->a], now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(LdrhImm)
        r[d->a] = load<2, kMode>(r[d->b] + imm(), now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(StrSp)
        store<4, kMode>(r[13] + imm(), r[d->a], now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(LdrSp)
        r[d->a] = load<4, kMode>(r[13] + imm(), now);
        cycles = 2;
        SNT_M0_STEP;
        SNT_M0_OP(Adr)
        r[d->a] = ((pc + 4) & ~3u) + imm();
        SNT_M0_STEP;
        SNT_M0_OP(AddSpImm)
        r[d->a] = r[13] + imm();
        SNT_M0_STEP;
        SNT_M0_OP(AdjustSp)
        r[13] += imm();
        SNT_M0_STEP;
        SNT_M0_OP(Sxth)
        r[d->a] = sign_extend(r[d->b] & 0xFFFF, 16);
        SNT_M0_STEP;
        SNT_M0_OP(Sxtb)
        r[d->a] = sign_extend(r[d->b] & 0xFF, 8);
        SNT_M0_STEP;
        SNT_M0_OP(Uxth)
        r[d->a] = r[d->b] & 0xFFFF;
        SNT_M0_STEP;
        SNT_M0_OP(Uxtb)
        r[d->a] = r[d->b] & 0xFF;
        SNT_M0_STEP;
        SNT_M0_OP(Rev)
        r[d->a] = __builtin_bswap32(r[d->b]);
        SNT_M0_STEP;
        SNT_M0_OP(Rev16)
        r[d->a] = ((r[d->b] & 0xFF00FF00u) >> 8) | ((r[d->b] & 0x00FF00FFu) << 8);
        SNT_M0_STEP;
        SNT_M0_OP(Revsh)
        r[d->a] = sign_extend(((r[d->b] & 0xFF) << 8) | ((r[d->b] >> 8) & 0xFF), 16);
        SNT_M0_STEP;

        // The register lists: on the fast path, a block that lies word-aligned
        // and whole in RAM goes at once (what its accesses one by one would
        // do there: nothing but the words, and the last address loaded for
        // loop detection); elsewhere word by word through load() and store().
        SNT_M0_OP(Push)
        {
            const unsigned count = d->b;
            const std::uint32_t base = r[13] - 4 * count;
            if (std::uint8_t *block = kMode == Mode::Fast ? words_in_ram(base, count) : nullptr) {
                for (std::uint32_t list = imm(); list; list &= list - 1, block += 4) {
                    write_le<4>(block, r[__builtin_ctz(list)]);
                }
                if (count != 0) spin_dirty_ = true; // as its stores would
            } else {
                std::uint32_t address = base;
                for (std::uint32_t list = imm(); list; list &= list - 1) {
                    store<4, kMode>(address, r[__builtin_ctz(list)], now);
                    address += 4;
                }
            }
            r[13] = base;
            cycles = 1 + count;
            SNT_M0_STEP;
        }
        SNT_M0_OP(Pop)
        {
            const unsigned count = d->b;
            std::uint32_t address = r[13];
            std::uint32_t target = 0;
            if (const std::uint8_t *block = kMode == Mode::Fast ? words_in_ram(address, count) : nullptr) {
                for (std::uint32_t list = imm() & 0xFF; list; list &= list - 1, block += 4) {
                    r[__builtin_ctz(list)] = read_le<4>(block);
                }
                if (imm() & 0x8000) target = read_le<4>(block);
                if (count != 0) spin_load_ = address + 4 * (count - 1);
                address += 4 * count;
            } else {
                for (std::uint32_t list = imm() & 0xFF; list; list &= list - 1) {
                    r[__builtin_ctz(list)] = load<4, kMode>(address, now);
                    address += 4;
                }
                if (imm() & 0x8000) {
                    target = load<4, kMode>(address, now);
                    address += 4;
                }
            }
            r[13] = address;
            if (imm() & 0x8000) {
                cycles = 3 + count; // 4 + the registers besides PC
                return_to(target);
                SNT_M0_NEXT;
            }
            cycles = 1 + count;
            SNT_M0_STEP;
        }
        SNT_M0_OP(Stm)
        {
            std::uint32_t address = r[d->a];
            const unsigned count = d->b;
            if (std::uint8_t *block = kMode == Mode::Fast ? words_in_ram(address, count) : nullptr) {
                for (std::uint32_t list = imm(); list; list &= list - 1, block += 4) {
                    write_le<4>(block, r[__builtin_ctz(list)]);
                }
                if (count != 0) spin_dirty_ = true; // as its stores would
                address += 4 * count;
            } else {
                for (std::uint32_t list = imm(); list; list &= list - 1) {
                    store<4, kMode>(address, r[__builtin_ctz(list)], now);
                    address += 4;
                }
            }
            r[d->a] = address;
            cycles = 1 + count;
            SNT_M0_STEP;
        }
        SNT_M0_OP(Ldm)
        {
            std::uint32_t address = r[d->a];
            const unsigned base = d->a, count = d->b;
            if (const std::uint8_t *block = kMode == Mode::Fast ? words_in_ram(address, count) : nullptr) {
                for (std::uint32_t list = imm(); list; list &= list - 1, block += 4) {
                    r[__builtin_ctz(list)] = read_le<4>(block);
                }
                if (count != 0) spin_load_ = address + 4 * (count - 1);
                address += 4 * count;
            } else {
                for (std::uint32_t list = imm(); list; list &= list - 1) {
                    r[__builtin_ctz(list)] = load<4, kMode>(address, now);
                    address += 4;
                }
            }
            if (!((imm() >> base) & 1)) r[base] = address;
            cycles = 1 + count;
            SNT_M0_STEP;
        }

        SNT_M0_OP(Cpsie)
        if (primask_) {
            primask_ = false;
            recheck();
        }
        SNT_M0_STEP;
        SNT_M0_OP(Cpsid)
        primask_ = true;
        SNT_M0_STEP;
        SNT_M0_OP(Bkpt)
        stop(Stop::Breakpoint); // pc stays at the breakpoint; it does not complete
        goto done;
        SNT_M0_OP(Nop)
        SNT_M0_STEP;
        SNT_M0_OP(Wfe)
        cycles = 2;
        if (event_) {
            event_ = false;
        } else if (!wakes(true)) {
            sleeping_ = sleep_for_event_ = true;
            stop(Stop::Sleeping);
        }
        SNT_M0_STEP;
        SNT_M0_OP(Wfi)
        cycles = 2;
        if (!wakes(false)) {
            sleeping_ = true;
            sleep_for_event_ = false;
            stop(Stop::Sleeping);
        }
        SNT_M0_STEP;
        SNT_M0_OP(Sev)
        event_ = true;
        SNT_M0_STEP;

        SNT_M0_OP(Beq)
        if (!branch_if(z())) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bne)
        if (!branch_if(!z())) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bcs)
        if (!branch_if(c_)) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bcc)
        if (!branch_if(!c_)) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bmi)
        if (!branch_if(n())) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bpl)
        if (!branch_if(!n())) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bvs)
        if (!branch_if(v_)) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bvc)
        if (!branch_if(!v_)) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bhi)
        if (!branch_if(c_ && !z())) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bls)
        if (!branch_if(!c_ || z())) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bge)
        if (!branch_if(n() == v_)) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Blt)
        if (!branch_if(n() != v_)) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Bgt)
        if (!branch_if(!z() && n() == v_)) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(Ble)
        if (!branch_if(z() || n() != v_)) SNT_M0_STEP;
        SNT_M0_NEXT;
        SNT_M0_OP(B)
        branch_if(true);
        SNT_M0_NEXT;

        SNT_M0_OP(Svc)
        {
            const int priority = exceptions_.priority_of(kSvCall);
            now_ = now;
            if (priority >= execution_priority()) fault(); // cannot be taken now: escalates
            enter(kSvCall, priority, pc + 2);
            now = now_;
            next = r[15];
            cycles = 0; // the entry's
            SNT_M0_NEXT;
        }
        SNT_M0_OP(Wide)
        {
            const std::uint32_t opcode = fetch(pc), second = fetch(pc + 2);
            if constexpr (kMode == Mode::Trace) trace_record_.opcode = opcode << 16 | second;
            cycles = 4;
            if ((second & 0xD000) == 0xD000) { // BL
                const std::uint32_t s = (opcode >> 10) & 1;
                const std::uint32_t i1 = ~((second >> 13) ^ s) & 1, i2 = ~((second >> 11) ^ s) & 1;
                const std::uint32_t offset = imm() | i1 << 23 | i2 << 22 | (second & 0x7FF) << 1;
                r[14] = (pc + 4) | 1;
                next = pc + 4 + offset;
            } else {
                now_ = now; // it may fault
                system_instruction(opcode, second);
                next = pc + 4;
            }
            SNT_M0_NEXT;
        }
        SNT_M0_OP(Bl)
        if constexpr (kMode == Mode::Trace) trace_record_.opcode = trace_record_.opcode << 16 | fetch(pc + 2);
        r[14] = (pc + 4) | 1;
        next = pc + 4 + imm();
        cycles = 4;
        if constexpr (kMode == Mode::Fast) {
            if (d->c != 0) { // a call of a known routine: at once where it may
                const Cycles spent = run_known_routine(d->c, now + cycles);
                if (spent != 0) {
                    next = pc + 4;
                    cycles += static_cast<unsigned>(spent);
                }
            }
        }
        SNT_M0_NEXT;
        SNT_M0_OP(Refetch)
#if SNT_M0_THREADED
        locate();
        SNT_M0_DISPATCH;
#endif
        // (the switch always locates: never here)
        SNT_M0_OP(Undefined)
        now_ = now;
        fault();
#if SNT_M0_THREADED
    }
#else
        }
        complete();
    }
#endif
#undef SNT_M0_OP
#undef SNT_M0_NEXT
#undef SNT_M0_STEP
#undef SNT_M0_DISPATCH
done:
    now_ = now;
}

void CortexM0::system_instruction(std::uint32_t first, std::uint32_t second)
{
    // Branch and miscellaneous control: only MSR, MRS and the barriers.
    if ((second & 0xD000) != 0x8000) fault();
    const unsigned op = (first >> 4) & 0x7F;
    if ((op & 0x7E) == 0x38) { // MSR
        const unsigned n = first & 15;
        if (n == 13 || n == 15) fault();
        write_special_register(second & 0xFF, r_[n]);
    } else if (op == 0x3B) { // DSB, DMB, ISB
        const unsigned kind = (second >> 4) & 15;
        if (kind < 4 || kind > 6) fault();
    } else if ((op & 0x7E) == 0x3E) { // MRS
        const unsigned d = (second >> 8) & 15;
        if (d == 13 || d == 15) fault();
        r_[d] = special_register(second & 0xFF);
    } else {
        fault();
    }
}

CortexM0::Jump CortexM0::high_register_pc(std::uint32_t pc, std::uint32_t opcode)
{
    const unsigned dn = (opcode & 7) | ((opcode >> 4) & 8), m = (opcode >> 3) & 15;
    auto read = [&](unsigned i) { return i == 15 ? pc + 4 : r_[i]; };
    auto write = [&](unsigned i, std::uint32_t value) {
        if (i == 15) return Jump{value & ~1u, 3};
        r_[i] = i == 13 ? value & ~3u : value;
        return Jump{pc + 2, 1};
    };
    switch ((opcode >> 8) & 3) {
    case 0:
        return write(dn, read(dn) + read(m));
    case 1:
        Alu{n_of_, z_of_, c_, v_}.sub(read(dn), read(m));
        return Jump{pc + 2, 1};
    case 2:
        return write(dn, read(m));
    default: {
        const std::uint32_t target = read(m);
        if (opcode & 0x80) r_[14] = (pc + 2) | 1;
        if (!(target & 1)) set_thumb(false);
        return Jump{target & ~1u, 3};
    }
    }
}

std::uint32_t CortexM0::special_register(unsigned sysm) const
{
    switch (sysm) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 5:
    case 6:
    case 7: {
        std::uint32_t value = 0;
        if (sysm & 1) value |= static_cast<std::uint32_t>(current_exception());
        if (!(sysm & 4)) value |= xpsr() & 0xF0000000u;
        return value; // EPSR reads as zero
    }
    case 8: // MSP
        return spsel_ ? other_sp_ : r_[13];
    case 9: // PSP
        return spsel_ ? r_[13] : other_sp_;
    case 16:
        return primask_;
    case 20: // CONTROL: only SPSEL; the M0 has no unprivileged mode
        return std::uint32_t(spsel_) << 1;
    default:
        return 0;
    }
}

void CortexM0::write_special_register(unsigned sysm, std::uint32_t value)
{
    switch (sysm) {
    case 0:
    case 1:
    case 2:
    case 3:
        set_xpsr(value);
        break;
    case 8:
        (spsel_ ? other_sp_ : r_[13]) = value & ~3u;
        break;
    case 9:
        (spsel_ ? r_[13] : other_sp_) = value & ~3u;
        break;
    case 16: {
        const bool was = primask_;
        primask_ = value & 1;
        if (was && !primask_) recheck();
        break;
    }
    case 20:
        if (active_.empty() && bool(value & 2) != spsel_) {
            std::swap(r_[13], other_sp_);
            spsel_ = !spsel_;
        }
        break;
    default:
        break;
    }
}

// -------------------------------------------------------------- running

// What run() does between two batches when the first ended with nothing
// stopping it (its limit reached, or pending exceptions to look at), done
// from inside the interpreter's loop on the fast path: true when the next
// batch may follow at once (its exception, if one was pending, entered),
// false to leave execute(): the core stopped, or the Bus ends the run
// (stopped with Limit, as run() would return).
bool CortexM0::next_batch(Cycles now)
{
    now_ = now;
    if (now_ >= limit_) {
        const Cycles next = bus_.batch_over();
        if (next <= now_) {
            stop(Stop::Limit);
            return false;
        }
        limit_ = next;
    }
    stop_at_ = limit_;
    take_pending();
    return !stopped_;
}

CortexM0::Stop CortexM0::run(Cycles limit)
{
    if (locked_up_) return Stop::Lockup;
    if (sleeping_) {
        if (!wakes(sleep_for_event_)) return Stop::Sleeping;
        sleeping_ = false;
        if (sleep_for_event_) event_ = false;
    }
    limit_ = limit;
    for (bool ran = false;; ran = true) {
        if (now_ >= limit_) {
            // After a batch on the fast path, the Bus may let the next one
            // follow at once.
            if (!ran || debugging_ || trace_ || locked_up_ || sleeping_) return Stop::Limit;
            const Cycles next = bus_.batch_over();
            if (next <= now_) return Stop::Limit;
            limit_ = next;
        }
        stopped_ = false;
        stop_at_ = limit_;
        try {
            if (!stepping_) take_pending();
            if (debugging_) {
                execute<Mode::Debug>();
            } else if (trace_) {
                execute<Mode::Trace>();
            } else {
                execute<Mode::Fast>();
            }
        } catch (const Bus::Fault &) {
            take_fault();
            if (stepping_) return stepped(); // the step ended in HardFault's entry
        }
        if (stopped_) return stop_reason_;
    }
}

CortexM0::Stop CortexM0::stepped()
{
    stepping_ = false;
    update_debugging();
    return Stop::Stepped;
}

} // namespace sim
