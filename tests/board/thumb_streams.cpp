#include "thumb_streams.h"

namespace snt_test::thumb {

// order the kind's fields are listed.
Step Generator::next(std::uint32_t pc)
{
    const std::uint32_t choice = below(24);
    if (choice <= 4) return arithmetic(choice);
    if (choice == 5) return high_registers(pc);
    if (choice == 6) return branch_exchange(pc);
    if (choice <= 12) return load_store(choice);
    if (choice <= 15) return sp_and_extend(choice);
    if (choice <= 17) return push_pop(choice, pc);
    if (choice == 18) return load_store_multiple();
    if (choice == 19) return hint();
    if (choice == 20) return system();
    return branch(choice, pc);
}

Step Generator::arithmetic(std::uint32_t choice)
{
    switch (choice) {
    case 0: { // LSL/LSR/ASR by immediate (LSL #0 is MOVS)
        return {"shift_imm", {h(bits(2) % 3 << 11 | bits(5) << 6 | low() << 3 | low())}, {}, {}};
    }
    case 1: // ADDS/SUBS register and 3-bit immediate
        return {"add_sub_3",
                {h(0x1800 | bits(2) << 9 | bits(3) << 6 | low() << 3 | low())},
                {{low(), value()}, {low(), value()}},
                {}};
    case 2: // MOVS/CMP/ADDS/SUBS 8-bit immediate
        return {"imm8", {h(0x2000 | bits(2) << 11 | low() << 8 | bits(8))}, {{low(), value()}}, {}};
    default: { // data processing
        const unsigned opc = bits(4);
        const int rdn = low(), rm = low();
        Step s{"alu", {h(0x4000 | opc << 6 | rm << 3 | rdn)}, {{rdn, value()}}, {}};
        if (rm != rdn)
            s.regs.push_back({rm, (opc == 2 || opc == 3 || opc == 4 || opc == 7) ? shift_amount() : value()});
        return s;
    }
    }
}

// ADD, CMP, MOV with high registers.
Step Generator::high_registers(std::uint32_t pc)
{
    const unsigned opc = below(3);
    Step s{"high", {}, {}, {}};
    int d = 0, m = 0;
    if (opc == 1) { // CMP: not both low, neither PC
        do {
            d = high_except({15});
            m = high_except({15});
        } while (d < 8 && m < 8);
        if (m != 13) s.regs.push_back({m, value()}); // SP stays word-aligned
    } else {
        d = high_except({});
        m = high_except({});
        if (d == 15 && m == 15) m = 0;
        if (d == 13 && m == 15) d = 12; // SP must stay word-aligned
        if (d == 15 && m == 13) m = 0;  // the target comes from Rm
        if (d == 15) {
            const std::uint32_t to = target(pc, -2048, 2046) | bits(1);
            s.regs.push_back({m, opc == 0 ? to - (pc + 4) : to});
        } else if (d == 13 && m != 13) {
            s.regs.push_back({m, opc == 0 ? (value() & ~3u) % kWindow : ram(4, 0)});
        } else if (m != 15 && m != 13) {
            s.regs.push_back({m, value()});
        }
    }
    s.code = {h(0x4400 | opc << 8 | (d & 8) << 4 | m << 3 | (d & 7))};
    return s;
}

// BX, BLX.
Step Generator::branch_exchange(std::uint32_t pc)
{
    const int m = high_except({13, 15});
    const bool link = coin();
    return {link ? "blx" : "bx", {h(0x4700 | link << 7 | m << 3)}, {{m, target(pc, -2048, 2046) | 1}}, {}};
}

Step Generator::load_store(std::uint32_t choice)
{
    switch (choice) {
    case 7: // LDR literal
        return {"ldr_literal", {h(0x4800 | low() << 8 | bits(8))}, {}, {}};
    case 8:
    case 9: { // loads and stores, register offset
        const unsigned opc = bits(3);
        static constexpr std::uint32_t sizes[8] = {4, 2, 1, 1, 4, 2, 1, 2};
        const int t = low(), n = low(), m = low();
        const std::uint32_t address = ram(sizes[opc], sizes[opc]);
        Step s{"ldst_reg", {h(0x5000 | opc << 9 | m << 6 | n << 3 | t)}, {}, {}};
        if (n == m) {
            s.regs.push_back({n, ram(2 * sizes[opc], 2 * sizes[opc]) / 2}); // the address is twice Rn
        } else {
            const std::uint32_t offset = coin() ? below(64) * sizes[opc] : 0u - below(64) * sizes[opc];
            s.regs.push_back({m, offset});
            s.regs.push_back({n, address - offset});
        }
        if (t != n && t != m) s.regs.push_back({t, value()});
        return s;
    }
    case 10:
    case 11: { // loads and stores, immediate offset
        static constexpr std::uint32_t bases[3] = {0x6000, 0x7000, 0x8000};
        static constexpr std::uint32_t sizes[3] = {4, 1, 2};
        const unsigned kind = below(3);
        const std::uint32_t imm5 = bits(5), offset = imm5 * sizes[kind];
        const int t = low(), n = low();
        Step s{"ldst_imm", {h(bases[kind] | bits(1) << 11 | imm5 << 6 | n << 3 | t)}, {}, {}};
        s.regs.push_back({n, ram(sizes[kind], offset + sizes[kind])});
        if (t != n) s.regs.push_back({t, value()});
        return s;
    }
    default: { // LDR/STR SP-relative
        const std::uint32_t imm8 = bits(8);
        return {"ldst_sp", {h(0x9000 | bits(1) << 11 | low() << 8 | imm8)}, {{13, ram(4, imm8 * 4 + 4)}}, {}};
    }
    }
}

Step Generator::sp_and_extend(std::uint32_t choice)
{
    switch (choice) {
    case 13: // ADR, ADD Rd, SP, #imm
        return {"adr_add_sp", {h(0xA000 | bits(1) << 11 | low() << 8 | bits(8))}, {{13, ram(4, 4)}}, {}};
    case 14: // ADD/SUB SP, #imm
        return {"adjust_sp", {h(0xB000 | bits(1) << 7 | bits(7))}, {{13, ram(4, 4)}}, {}};
    default: { // extend and reverse
        if (coin()) return {"extend", {h(0xB200 | bits(2) << 6 | low() << 3 | low())}, {{low(), value()}}, {}};
        static constexpr unsigned kinds[3] = {0, 1, 3};
        return {"reverse", {h(0xBA00 | kinds[below(3)] << 6 | low() << 3 | low())}, {{low(), value()}}, {}};
    }
    }
}

Step Generator::push_pop(std::uint32_t choice, std::uint32_t pc)
{
    if (choice == 16) { // PUSH
        std::uint32_t list = bits(8);
        const bool lr = coin();
        if (!list && !lr) list = 1;
        const std::uint32_t count = __builtin_popcount(list) + lr;
        return {"push", {h(0xB400 | lr << 8 | list)}, {{13, ram(4, count * 4) + count * 4}}, {}};
    }
    // POP
    std::uint32_t list = bits(8);
    const bool to_pc = coin();
    if (!list && !to_pc) list = 1;
    const std::uint32_t count = __builtin_popcount(list) + to_pc;
    const std::uint32_t sp = ram(4, count * 4);
    Step s{"pop", {h(0xBC00 | to_pc << 8 | list)}, {{13, sp}}, {}};
    if (to_pc) s.words.push_back({sp + 4 * (count - 1), target(pc, -4096, 4096) | 1});
    return s;
}

// LDM, STM.
Step Generator::load_store_multiple()
{
    std::uint32_t list = bits(8);
    if (!list) list = 1u << bits(3);
    const int n = low();
    const bool load = coin();
    // A stored base register must be the lowest in the list.
    if (!load && (list >> n & 1) && (list & ((1u << n) - 1))) list &= ~(1u << n);
    const std::uint32_t count = __builtin_popcount(list);
    return {load ? "ldm" : "stm", {h((load ? 0xC800 : 0xC000) | n << 8 | list)}, {{n, ram(4, count * 4)}}, {}};
}

// CPS, hints (not YIELD: unicorn stops at it).
Step Generator::hint()
{
    static constexpr std::uint16_t codes[] = {0xB662, 0xB672, 0xBF00, 0xBF40, 0x46C0};
    return {"misc", {codes[below(5)]}, {}, {}};
}

// MRS, MSR, barriers.
Step Generator::system()
{
    static constexpr std::uint32_t readable[] = {0, 1, 2, 3, 5, 6, 7, 8, 16, 20};
    const int r = high_except({13, 15});
    switch (below(4)) {
    case 0:
        return {"mrs", {0xF3EF, h(0x8000 | r << 8 | readable[below(10)])}, {}, {}};
    case 1:
        // Without bit 27: unicorn keeps a Q flag there, which the M0 does not have.
        return {"msr_apsr", {h(0xF380 | r), h(0x8800 | bits(2))}, {{r, value() & ~(1u << 27)}}, {}};
    case 2:
        return {"msr_primask", {h(0xF380 | r), 0x8810}, {{r, value()}}, {}};
    default: {
        static constexpr std::uint16_t barriers[] = {0x8F4F, 0x8F5F, 0x8F6F};
        return {"barrier", {0xF3BF, barriers[below(3)]}, {}, {}};
    }
    }
}

Step Generator::branch(std::uint32_t choice, std::uint32_t pc)
{
    switch (choice) {
    case 21: { // conditional branch
        const std::uint32_t to = target(pc, -256, 254);
        const std::uint32_t offset = (to - (pc + 4)) / 2;
        return {"bcond", {h(0xD000 | below(14) << 8 | (offset & 0xFF))}, {}, {}};
    }
    case 22: { // B
        const std::uint32_t to = target(pc, -2048, 2046);
        return {"b", {h(0xE000 | (((to - (pc + 4)) / 2) & 0x7FF))}, {}, {}};
    }
    default: { // BL
        const std::uint32_t to = target(pc, -0x3000, 0x3000);
        const std::uint32_t offset = to - (pc + 4);
        const std::uint32_t s = offset >> 31, i1 = (offset >> 23) & 1, i2 = (offset >> 22) & 1;
        const std::uint32_t j1 = (~i1 ^ s) & 1, j2 = (~i2 ^ s) & 1;
        return {
            "bl",
            {h(0xF000 | s << 10 | ((offset >> 12) & 0x3FF)), h(0xD000 | j1 << 13 | j2 << 11 | ((offset >> 1) & 0x7FF))},
            {},
            {}};
    }
    }
}

} // namespace snt_test::thumb
