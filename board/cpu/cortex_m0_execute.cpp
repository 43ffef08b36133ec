// Execution: the interpreter's loop over the decode table, the
// instructions off its fast path, loop detection, and the batches run()
// drives.
#include "board/cpu/cortex_m0_core.h"

#include <cstring>
#include <utility>

namespace sim {

using namespace m0;

// ------------------------------------------------------------ instructions

namespace {

struct Alu {
    bool &n, &z, &c, &v;

    std::uint32_t nz(std::uint32_t r)
    {
        n = r >> 31;
        z = r == 0;
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
    std::uint32_t sub(std::uint32_t x, std::uint32_t y, bool carry = true) { return add(x, ~y, carry); }

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
// `may_be_delay_loop` is the branch's mark in the decoded flash (Decoded::c
// of a backward conditional branch): cleared once the loop is known not to
// be one, so that other loops pay nothing for it.
template <bool kSkip>
inline __attribute__((always_inline)) void CortexM0::back_edge(std::uint32_t target, std::uint32_t branch,
                                                               Cycles arrival, bool may_be_delay_loop)
{
    std::uint32_t flags = std::uint32_t(n_) | std::uint32_t(z_) << 1 | std::uint32_t(c_) << 2 | std::uint32_t(v_) << 3;
    if constexpr (kSkip) {
        if (may_be_delay_loop && target == spin_target_ && spin_dirty_ && skip_passes(branch, arrival)) {
            flags = std::uint32_t(n_) | std::uint32_t(z_) << 1 | std::uint32_t(c_) << 2 | std::uint32_t(v_) << 3;
        }
    }
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
        return;
    }
    spin_target_ = target;
    std::memcpy(spin_regs_.data(), r_.data(), sizeof spin_regs_);
    spin_flags_ = flags;
    spin_arrival_ = arrival;
    spin_load_ = 0;
    spin_dirty_ = false;
}

// The interpreter's loop: one case per operation, kept in one function so
// the compiler keeps the registers and flags in machine registers.
template <CortexM0::Mode kMode>
void CortexM0::execute() // NOLINT(readability-function-size)
{
    auto &r = r_;
    Alu alu{n_, z_, c_, v_};
    const Decoded *const decode = decode_;
    while (now_ < stop_at_) {
        const std::uint32_t pc = r[15];
        if constexpr (kMode == Mode::Debug) {
            if (at_breakpoint(pc)) {
                stop(Stop::DebugBreakpoint); // not executed: pc stays at it
                break;
            }
        }
        // Flash from its decoded copy; anything else (RAM, flash seen at 0,
        // a fault) from the decode table.
        const std::uint32_t offset = pc - memory_.flash_base;
        const Decoded d = offset < fetch_limit_ ? predecoded_[offset >> 1] : decode[fetch_outside(pc)];
        [[maybe_unused]] const Cycles start = now_;
        if constexpr (kMode == Mode::Trace) {
            trace_record_.pc = pc;
            trace_record_.opcode = fetch(pc);
            trace_record_.accesses.clear();
        }
        std::uint32_t next = pc + 2;
        unsigned cycles = 1;
        const auto imm = static_cast<std::uint32_t>(d.imm);

        // A taken conditional branch or B; a backward one may close a loop.
        auto branch_if = [&](bool taken) __attribute__((always_inline))
        {
            if (!taken) return;
            next = pc + 4 + imm;
            cycles = 3;
            if (d.imm < -2) back_edge<kMode == Mode::Fast>(next, pc, now_ + cycles, d.c != 0);
        };
        // A return that may be an exception return (BX, POP {pc}).
        auto return_to = [&](std::uint32_t target) __attribute__((always_inline))
        {
            if ((target >> 28) == 0xF && !active_.empty()) {
                now_ += cycles;
                cycles = 0;
                exception_return(target);
                next = r[15];
            } else {
                if (!(target & 1)) set_thumb(false);
                next = target & ~1u;
            }
        };

        switch (d.op) {
        case Op::MovsReg:
            r[d.a] = alu.nz(r[d.b]);
            break;
        case Op::LslImm:
            c_ = (r[d.b] >> (32 - imm)) & 1;
            r[d.a] = alu.nz(r[d.b] << imm);
            break;
        case Op::LsrImm:
            c_ = (r[d.b] >> (imm - 1)) & 1;
            r[d.a] = alu.nz(r[d.b] >> imm);
            break;
        case Op::LsrImm32:
            c_ = r[d.b] >> 31;
            r[d.a] = alu.nz(0);
            break;
        case Op::AsrImm:
            c_ = (r[d.b] >> (imm - 1)) & 1;
            r[d.a] = alu.nz(arithmetic_shift_right(r[d.b], imm));
            break;
        case Op::AsrImm32:
            c_ = r[d.b] >> 31;
            r[d.a] = alu.nz(arithmetic_shift_right(r[d.b], 31));
            break;
        case Op::AddReg:
            r[d.a] = alu.add(r[d.b], r[d.c], false);
            break;
        case Op::SubReg:
            r[d.a] = alu.sub(r[d.b], r[d.c]);
            break;
        case Op::AddImm3:
            r[d.a] = alu.add(r[d.b], imm, false);
            break;
        case Op::SubImm3:
            r[d.a] = alu.sub(r[d.b], imm);
            break;
        case Op::MovImm:
            r[d.a] = alu.nz(imm);
            break;
        case Op::CmpImm:
            alu.sub(r[d.a], imm);
            break;
        case Op::AddImm8:
            r[d.a] = alu.add(r[d.a], imm, false);
            break;
        case Op::SubImm8:
            r[d.a] = alu.sub(r[d.a], imm);
            break;
        case Op::And:
            r[d.a] = alu.nz(r[d.a] & r[d.b]);
            break;
        case Op::Eor:
            r[d.a] = alu.nz(r[d.a] ^ r[d.b]);
            break;
        case Op::LslReg:
            r[d.a] = alu.lsl(r[d.a], r[d.b]);
            break;
        case Op::LsrReg:
            r[d.a] = alu.lsr(r[d.a], r[d.b]);
            break;
        case Op::AsrReg:
            r[d.a] = alu.asr(r[d.a], r[d.b]);
            break;
        case Op::Adc:
            r[d.a] = alu.add(r[d.a], r[d.b], c_);
            break;
        case Op::Sbc:
            r[d.a] = alu.sub(r[d.a], r[d.b], c_);
            break;
        case Op::Ror:
            r[d.a] = alu.ror(r[d.a], r[d.b]);
            break;
        case Op::Tst:
            alu.nz(r[d.a] & r[d.b]);
            break;
        case Op::Rsb:
            r[d.a] = alu.sub(0, r[d.b]);
            break;
        case Op::Cmp:
            alu.sub(r[d.a], r[d.b]);
            break;
        case Op::Cmn:
            alu.add(r[d.a], r[d.b], false);
            break;
        case Op::Orr:
            r[d.a] = alu.nz(r[d.a] | r[d.b]);
            break;
        case Op::Mul:
            r[d.a] = alu.nz(r[d.a] * r[d.b]);
            break;
        case Op::Bic:
            r[d.a] = alu.nz(r[d.a] & ~r[d.b]);
            break;
        case Op::Mvn:
            r[d.a] = alu.nz(~r[d.b]);
            break;

        case Op::AddHigh:
            r[d.a] += r[d.b];
            break;
        case Op::AddHighSp:
            r[13] = (r[13] + r[d.b]) & ~3u;
            break;
        case Op::AddHighPc:
            next = (pc + 4 + r[d.b]) & ~1u;
            cycles = 3;
            break;
        case Op::CmpHigh:
            alu.sub(r[d.a], r[d.b]);
            break;
        case Op::MovHigh:
            r[d.a] = r[d.b];
            break;
        case Op::MovHighSp:
            r[13] = r[d.b] & ~3u;
            break;
        case Op::MovHighPc:
            next = r[d.b] & ~1u;
            cycles = 3;
            break;
        case Op::Bx:
            cycles = 3;
            return_to(r[d.b]);
            break;
        case Op::Blx: {
            const std::uint32_t target = r[d.b];
            r[14] = (pc + 2) | 1;
            if (!(target & 1)) set_thumb(false);
            next = target & ~1u;
            cycles = 3;
            break;
        }
        case Op::HighPcOperand: {
            const Jump jump = high_register_pc(pc, fetch(pc));
            next = jump.next;
            cycles = jump.cycles;
            break;
        }

        case Op::LdrLiteral:
            r[d.a] = load<4, kMode>(((pc + 4) & ~3u) + imm);
            cycles = 2;
            break;
        case Op::StrReg:
            store<4, kMode>(r[d.b] + r[d.c], r[d.a]);
            cycles = 2;
            break;
        case Op::StrhReg:
            store<2, kMode>(r[d.b] + r[d.c], r[d.a]);
            cycles = 2;
            break;
        case Op::StrbReg:
            store<1, kMode>(r[d.b] + r[d.c], r[d.a]);
            cycles = 2;
            break;
        case Op::LdrsbReg:
            r[d.a] = sign_extend(load<1, kMode>(r[d.b] + r[d.c]), 8);
            cycles = 2;
            break;
        case Op::LdrReg:
            r[d.a] = load<4, kMode>(r[d.b] + r[d.c]);
            cycles = 2;
            break;
        case Op::LdrhReg:
            r[d.a] = load<2, kMode>(r[d.b] + r[d.c]);
            cycles = 2;
            break;
        case Op::LdrbReg:
            r[d.a] = load<1, kMode>(r[d.b] + r[d.c]);
            cycles = 2;
            break;
        case Op::LdrshReg:
            r[d.a] = sign_extend(load<2, kMode>(r[d.b] + r[d.c]), 16);
            cycles = 2;
            break;
        case Op::StrImm:
            store<4, kMode>(r[d.b] + imm, r[d.a]);
            cycles = 2;
            break;
        case Op::LdrImm:
            r[d.a] = load<4, kMode>(r[d.b] + imm);
            cycles = 2;
            break;
        case Op::StrbImm:
            store<1, kMode>(r[d.b] + imm, r[d.a]);
            cycles = 2;
            break;
        case Op::LdrbImm:
            r[d.a] = load<1, kMode>(r[d.b] + imm);
            cycles = 2;
            break;
        case Op::StrhImm:
            store<2, kMode>(r[d.b] + imm, r[d.a]);
            cycles = 2;
            break;
        case Op::LdrhImm:
            r[d.a] = load<2, kMode>(r[d.b] + imm);
            cycles = 2;
            break;
        case Op::StrSp:
            store<4, kMode>(r[13] + imm, r[d.a]);
            cycles = 2;
            break;
        case Op::LdrSp:
            r[d.a] = load<4, kMode>(r[13] + imm);
            cycles = 2;
            break;
        case Op::Adr:
            r[d.a] = ((pc + 4) & ~3u) + imm;
            break;
        case Op::AddSpImm:
            r[d.a] = r[13] + imm;
            break;
        case Op::AdjustSp:
            r[13] += imm;
            break;
        case Op::Sxth:
            r[d.a] = sign_extend(r[d.b] & 0xFFFF, 16);
            break;
        case Op::Sxtb:
            r[d.a] = sign_extend(r[d.b] & 0xFF, 8);
            break;
        case Op::Uxth:
            r[d.a] = r[d.b] & 0xFFFF;
            break;
        case Op::Uxtb:
            r[d.a] = r[d.b] & 0xFF;
            break;
        case Op::Rev:
            r[d.a] = __builtin_bswap32(r[d.b]);
            break;
        case Op::Rev16:
            r[d.a] = ((r[d.b] & 0xFF00FF00u) >> 8) | ((r[d.b] & 0x00FF00FFu) << 8);
            break;
        case Op::Revsh:
            r[d.a] = sign_extend(((r[d.b] & 0xFF) << 8) | ((r[d.b] >> 8) & 0xFF), 16);
            break;

        case Op::Push: {
            const unsigned count = __builtin_popcount(imm);
            const std::uint32_t base = r[13] - 4 * count;
            std::uint32_t address = base;
            for (std::uint32_t list = imm; list; list &= list - 1) {
                store<4, kMode>(address, r[__builtin_ctz(list)]);
                address += 4;
            }
            r[13] = base;
            cycles = 1 + count;
            break;
        }
        case Op::Pop: {
            const unsigned count = __builtin_popcount(imm);
            std::uint32_t address = r[13];
            for (std::uint32_t list = imm & 0xFF; list; list &= list - 1) {
                r[__builtin_ctz(list)] = load<4, kMode>(address);
                address += 4;
            }
            if (imm & 0x8000) {
                const std::uint32_t target = load<4, kMode>(address);
                r[13] = address + 4;
                cycles = 3 + count; // 4 + the registers besides PC
                return_to(target);
            } else {
                r[13] = address;
                cycles = 1 + count;
            }
            break;
        }
        case Op::Stm: {
            std::uint32_t address = r[d.a];
            for (std::uint32_t list = imm; list; list &= list - 1) {
                store<4, kMode>(address, r[__builtin_ctz(list)]);
                address += 4;
            }
            r[d.a] = address;
            cycles = 1 + __builtin_popcount(imm);
            break;
        }
        case Op::Ldm: {
            std::uint32_t address = r[d.a];
            for (std::uint32_t list = imm; list; list &= list - 1) {
                r[__builtin_ctz(list)] = load<4, kMode>(address);
                address += 4;
            }
            if (!((imm >> d.a) & 1)) r[d.a] = address;
            cycles = 1 + __builtin_popcount(imm);
            break;
        }

        case Op::Cpsie:
            if (primask_) {
                primask_ = false;
                recheck();
            }
            break;
        case Op::Cpsid:
            primask_ = true;
            break;
        case Op::Bkpt:
            stop(Stop::Breakpoint); // pc stays at the breakpoint; it does not complete
            continue;
        case Op::Nop:
            break;
        case Op::Wfe:
            cycles = 2;
            if (event_) {
                event_ = false;
            } else if (!wakes(true)) {
                sleeping_ = sleep_for_event_ = true;
                stop(Stop::Sleeping);
            }
            break;
        case Op::Wfi:
            cycles = 2;
            if (!wakes(false)) {
                sleeping_ = true;
                sleep_for_event_ = false;
                stop(Stop::Sleeping);
            }
            break;
        case Op::Sev:
            event_ = true;
            break;

        case Op::Beq:
            branch_if(z_);
            break;
        case Op::Bne:
            branch_if(!z_);
            break;
        case Op::Bcs:
            branch_if(c_);
            break;
        case Op::Bcc:
            branch_if(!c_);
            break;
        case Op::Bmi:
            branch_if(n_);
            break;
        case Op::Bpl:
            branch_if(!n_);
            break;
        case Op::Bvs:
            branch_if(v_);
            break;
        case Op::Bvc:
            branch_if(!v_);
            break;
        case Op::Bhi:
            branch_if(c_ && !z_);
            break;
        case Op::Bls:
            branch_if(!c_ || z_);
            break;
        case Op::Bge:
            branch_if(n_ == v_);
            break;
        case Op::Blt:
            branch_if(n_ != v_);
            break;
        case Op::Bgt:
            branch_if(!z_ && n_ == v_);
            break;
        case Op::Ble:
            branch_if(z_ || n_ != v_);
            break;
        case Op::B:
            branch_if(true);
            break;

        case Op::Svc: {
            const int priority = exceptions_.priority_of(kSvCall);
            if (priority >= execution_priority()) fault(); // cannot be taken now: escalates
            enter(kSvCall, priority, pc + 2);
            next = r[15];
            cycles = 0; // the entry's
            break;
        }
        case Op::Wide: {
            const std::uint32_t opcode = fetch(pc), second = fetch(pc + 2);
            if constexpr (kMode == Mode::Trace) trace_record_.opcode = opcode << 16 | second;
            cycles = 4;
            if ((second & 0xD000) == 0xD000) { // BL
                const std::uint32_t s = (opcode >> 10) & 1;
                const std::uint32_t i1 = ~((second >> 13) ^ s) & 1, i2 = ~((second >> 11) ^ s) & 1;
                const std::uint32_t offset = imm | i1 << 23 | i2 << 22 | (second & 0x7FF) << 1;
                r[14] = (pc + 4) | 1;
                next = pc + 4 + offset;
            } else {
                system_instruction(opcode, second);
                next = pc + 4;
            }
            break;
        }
        case Op::Undefined:
            fault();
        }

        r[15] = next;
        now_ += cycles;
        ++instructions_;
        if constexpr (kMode == Mode::Trace) {
            trace_record_.cycles = now_ - start;
            trace_record_.regs = r_;
            trace_record_.xpsr = xpsr();
            trace_(trace_record_);
        } else if constexpr (kMode == Mode::Debug) {
            after_debug_instruction();
        }
    }
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
        Alu{n_, z_, c_, v_}.sub(read(dn), read(m));
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

CortexM0::Stop CortexM0::run(Cycles limit)
{
    if (locked_up_) return Stop::Lockup;
    if (sleeping_) {
        if (!wakes(sleep_for_event_)) return Stop::Sleeping;
        sleeping_ = false;
        if (sleep_for_event_) event_ = false;
    }
    limit_ = limit;
    for (;;) {
        if (now_ >= limit_) return Stop::Limit;
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
