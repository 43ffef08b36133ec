// The decode table: what each 16-bit Thumb halfword is, worked out once.
#include "board/cpu/cortex_m0_core.h"

#include <array>
#include <utility>
#include <vector>

namespace sim {

using namespace m0;

namespace {

using Decoded16 = std::pair<Op, std::array<int, 4>>; // op, a, b, c, imm

// PUSH, POP, STM and LDM: the base register in a, the register list in imm
// and the number of registers in it in b (their cycles and stack room).
Decoded16 list_of(Op op, int base, unsigned list)
{
    return {op, {base, __builtin_popcount(list), 0, static_cast<int>(list)}};
}

// One case per encoding of the Thumb instruction set, in the order of the
// architecture manual's tables: split, it would only be harder to check
// against them.
Decoded16 decode(std::uint32_t hw) // NOLINT(readability-function-size)
{
    const int lo0 = hw & 7, lo3 = (hw >> 3) & 7, lo6 = (hw >> 6) & 7, lo8 = (hw >> 8) & 7;
    const int imm5 = (hw >> 6) & 31, imm8 = hw & 0xFF;
    switch (hw >> 11) {
    case 0x00:
        return {imm5 ? Op::LslImm : Op::MovsReg, {lo0, lo3, 0, imm5}};
    case 0x01:
        return {imm5 ? Op::LsrImm : Op::LsrImm32, {lo0, lo3, 0, imm5}};
    case 0x02:
        return {imm5 ? Op::AsrImm : Op::AsrImm32, {lo0, lo3, 0, imm5}};
    case 0x03: {
        static constexpr Op ops[] = {Op::AddReg, Op::SubReg, Op::AddImm3, Op::SubImm3};
        return {ops[(hw >> 9) & 3], {lo0, lo3, lo6, lo6}};
    }
    case 0x04:
        return {Op::MovImm, {lo8, 0, 0, imm8}};
    case 0x05:
        return {Op::CmpImm, {lo8, 0, 0, imm8}};
    case 0x06:
        return {Op::AddImm8, {lo8, 0, 0, imm8}};
    case 0x07:
        return {Op::SubImm8, {lo8, 0, 0, imm8}};
    case 0x08: {
        if (!(hw & 0x400)) {
            static constexpr Op ops[] = {Op::And, Op::Eor, Op::LslReg, Op::LsrReg, Op::AsrReg, Op::Adc,
                                         Op::Sbc, Op::Ror, Op::Tst,    Op::Rsb,    Op::Cmp,    Op::Cmn,
                                         Op::Orr, Op::Mul, Op::Bic,    Op::Mvn};
            return {ops[(hw >> 6) & 15], {lo0, lo3, 0, 0}};
        }
        // High registers: ADD, CMP, MOV, BX/BLX. A PC operand is rare and
        // reads as the instruction's address + 4: one slow case for all.
        const int dn = lo0 | ((hw >> 4) & 8), m = (hw >> 3) & 15;
        switch ((hw >> 8) & 3) {
        case 0:
            if (m == 15) return {Op::HighPcOperand, {}};
            return {dn == 15 ? Op::AddHighPc : dn == 13 ? Op::AddHighSp : Op::AddHigh, {dn, m, 0, 0}};
        case 1:
            if (m == 15 || dn == 15) return {Op::HighPcOperand, {}};
            return {Op::CmpHigh, {dn, m, 0, 0}};
        case 2:
            if (m == 15) return {Op::HighPcOperand, {}};
            return {dn == 15 ? Op::MovHighPc : dn == 13 ? Op::MovHighSp : Op::MovHigh, {dn, m, 0, 0}};
        default:
            if (m == 15) return {Op::HighPcOperand, {}};
            return {(hw & 0x80) ? Op::Blx : Op::Bx, {0, m, 0, 0}};
        }
    }
    case 0x09:
        return {Op::LdrLiteral, {lo8, 0, 0, imm8 * 4}};
    case 0x0A:
    case 0x0B: {
        static constexpr Op ops[] = {Op::StrReg, Op::StrhReg, Op::StrbReg, Op::LdrsbReg,
                                     Op::LdrReg, Op::LdrhReg, Op::LdrbReg, Op::LdrshReg};
        return {ops[(hw >> 9) & 7], {lo0, lo3, lo6, 0}};
    }
    case 0x0C:
        return {Op::StrImm, {lo0, lo3, 0, imm5 * 4}};
    case 0x0D:
        return {Op::LdrImm, {lo0, lo3, 0, imm5 * 4}};
    case 0x0E:
        return {Op::StrbImm, {lo0, lo3, 0, imm5}};
    case 0x0F:
        return {Op::LdrbImm, {lo0, lo3, 0, imm5}};
    case 0x10:
        return {Op::StrhImm, {lo0, lo3, 0, imm5 * 2}};
    case 0x11:
        return {Op::LdrhImm, {lo0, lo3, 0, imm5 * 2}};
    case 0x12:
        return {Op::StrSp, {lo8, 0, 0, imm8 * 4}};
    case 0x13:
        return {Op::LdrSp, {lo8, 0, 0, imm8 * 4}};
    case 0x14:
        return {Op::Adr, {lo8, 0, 0, imm8 * 4}};
    case 0x15:
        return {Op::AddSpImm, {lo8, 0, 0, imm8 * 4}};
    case 0x16:
    case 0x17:
        switch ((hw >> 8) & 15) {
        case 0x0: {
            const int amount = (hw & 0x7F) * 4;
            return {Op::AdjustSp, {0, 0, 0, (hw & 0x80) ? -amount : amount}};
        }
        case 0x2: {
            static constexpr Op ops[] = {Op::Sxth, Op::Sxtb, Op::Uxth, Op::Uxtb};
            return {ops[(hw >> 6) & 3], {lo0, lo3, 0, 0}};
        }
        case 0x4:
        case 0x5: // LR in the list is bit 14
            return list_of(Op::Push, 0, (hw & 0xFF) | ((hw & 0x100) << 6));
        case 0x6:
            if ((hw & 0xFFE0) != 0xB660) return {Op::Undefined, {}};
            if (!(hw & 2)) return {Op::Nop, {}}; // affects no mask the M0 has
            return {(hw & 0x10) ? Op::Cpsid : Op::Cpsie, {}};
        case 0xA: {
            static constexpr Op ops[] = {Op::Rev, Op::Rev16, Op::Undefined, Op::Revsh};
            return {ops[(hw >> 6) & 3], {lo0, lo3, 0, 0}};
        }
        case 0xC:
        case 0xD: // PC in the list is bit 15
            return list_of(Op::Pop, 0, (hw & 0xFF) | ((hw & 0x100) << 7));
        case 0xE:
            return {Op::Bkpt, {}};
        case 0xF:
            if (hw & 0xF) return {Op::Undefined, {}}; // IT
            switch ((hw >> 4) & 15) {
            case 2:
                return {Op::Wfe, {}};
            case 3:
                return {Op::Wfi, {}};
            case 4:
                return {Op::Sev, {}};
            default: // NOP, YIELD and the unallocated hints
                return {Op::Nop, {}};
            }
        default: // CBZ, CBNZ and the rest of this space
            return {Op::Undefined, {}};
        }
    case 0x18:
        return list_of(Op::Stm, lo8, imm8);
    case 0x19:
        return list_of(Op::Ldm, lo8, imm8);
    case 0x1A:
    case 0x1B: {
        const unsigned cond = (hw >> 8) & 15;
        if (cond == 14) return {Op::Undefined, {}}; // UDF
        if (cond == 15) return {Op::Svc, {}};
        return {static_cast<Op>(static_cast<unsigned>(Op::Beq) + cond),
                {0, 0, 0, static_cast<int>(sign_extend(hw & 0xFF, 8) * 2)}};
    }
    case 0x1C:
        return {Op::B, {0, 0, 0, static_cast<int>(sign_extend(hw & 0x7FF, 11) * 2)}};
    case 0x1E: {
        // First half of BL, MSR, MRS and the barriers. For BL: the offset
        // with S in bits 31..24 and imm10 in bits 21..12.
        const std::uint32_t s = (hw >> 10) & 1;
        return {Op::Wide, {0, 0, 0, static_cast<int>((s ? 0xFF000000u : 0u) | ((hw & 0x3FF) << 12))}};
    }
    default: // the 32-bit encodings the M0 does not have
        return {Op::Undefined, {}};
    }
}

} // namespace

const CortexM0::Decoded *CortexM0::decode_table()
{
    static const std::vector<Decoded> table = [] {
        std::vector<Decoded> t(0x10000);
        for (std::uint32_t hw = 0; hw < 0x10000; ++hw) {
            const auto [op, f] = decode(hw);
            t[hw] = Decoded{op, static_cast<std::uint8_t>(f[0]), static_cast<std::uint8_t>(f[1]),
                            static_cast<std::uint8_t>(f[2]), f[3]};
        }
        return t;
    }();
    return table.data();
}

} // namespace sim
