// Known routines: the firmware's single-precision helpers, found in flash
// by their bytes and run in one step on a call where nothing could tell.
//
// The tone detector's interrupt handler spends most of its instructions in
// the firmware's own __aeabi_fmul, __aeabi_fadd, __aeabi_fsub and
// platform_sample_minus (firmware/platform/stm32f030/soft_float.S), on
// their fast paths: straight code in r0-r3 and r12 with a few branches, a
// byte table in flash, no other memory. Each such path is written out below
// instruction by instruction, as the interpreter would run it: the same
// registers, flags, cycles and instruction count, and, at a taken backward
// branch, the same record for loop detection. A path leading anywhere else
// (subnormals, infinities, NaNs, the general paths with their calls and
// stacking) gives up before anything changed, and the call is interpreted.
//
// The section's bytes are checked whole against the fingerprint the paths
// were written from: a firmware whose helpers differ in one byte runs them
// in the interpreter. The chip test holds the fingerprint against the image
// and every path against the interpreter.
#include "board/cpu/cortex_m0_core.h"

namespace sim {

using namespace m0;

namespace known_routines {

// Every path is inlined into run_known_routine, so that the registers,
// flags and counts of a run stay in machine registers.
#define SNT_M0_PATH inline __attribute__((always_inline))

// The section as the paths below know it: from __aeabi_fmul to the end of
// the leading-zero table, offsets from its start.
constexpr std::uint32_t kSectionBytes = 0x530;
constexpr std::uint64_t kSectionFingerprint = 0x96c33003f3a6c91aull; // FNV-1a, 64 bits
constexpr std::uint32_t kFmul = 0x000, kFsub = 0x264, kFadd = 0x26a, kSampleMinus = 0x46e, kClz7 = 0x4b0;

std::uint64_t fingerprint(const std::uint8_t *bytes, std::uint32_t size)
{
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::uint32_t i = 0; i < size; ++i) {
        h ^= bytes[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

// A path's run: registers, flags, cycles and instructions from the
// routine's first instruction, and the last taken backward branch's record.
struct Path {
    std::uint32_t r0, r1, r2, r3, r12; // the registers a path uses
    bool n, z, c, v;
    CortexM0::Cycles cycles = 0;
    unsigned count = 0;
    const std::uint8_t *table = nullptr; // the leading-zero table in flash
    struct LoopRecord {
        bool looped = false;
        std::uint32_t target = 0;            // offset in the section
        std::array<std::uint32_t, 5> regs{}; // r0-r3, r12
        std::uint32_t flags = 0;
        CortexM0::Cycles arrival = 0; // from the routine's first cycle
    };
    LoopRecord *loop = nullptr; // kept apart: the path's own state stays in machine registers

    template <int kN>
    SNT_M0_PATH std::uint32_t &r()
    {
        static_assert(kN <= 3 || kN == 12, "a path uses r0-r3 and r12");
        if constexpr (kN == 0) return r0;
        if constexpr (kN == 1) return r1;
        if constexpr (kN == 2) return r2;
        if constexpr (kN == 3) return r3;
        if constexpr (kN == 12) return r12;
    }
    SNT_M0_PATH void tick(unsigned cycles_of) { cycles += cycles_of, ++count; }
    SNT_M0_PATH std::uint32_t nz(std::uint32_t x)
    {
        n = (x >> 31) != 0;
        z = x == 0;
        return x;
    }
    // Data processing, as the interpreter's ALU does it.
    template <int d, int m>
    SNT_M0_PATH void lsls(unsigned imm)
    {
        tick(1);
        std::uint32_t x = r<m>();
        if (imm != 0) {
            c = ((x >> (32 - imm)) & 1) != 0;
            x <<= imm;
        }
        r<d>() = nz(x);
    }
    template <int d, int m>
    SNT_M0_PATH void lsrs(unsigned imm) // imm 1..31
    {
        tick(1);
        const std::uint32_t x = r<m>();
        c = ((x >> (imm - 1)) & 1) != 0;
        r<d>() = nz(x >> imm);
    }
    template <int d, int m>
    SNT_M0_PATH void asrs(unsigned imm) // imm 1..31
    {
        tick(1);
        const std::uint32_t x = r<m>();
        c = ((x >> (imm - 1)) & 1) != 0;
        r<d>() = nz(arithmetic_shift_right(x, imm));
    }
    template <int d, int s>
    SNT_M0_PATH void lsls_reg()
    {
        tick(1);
        const std::uint32_t x = r<d>(), amount = r<s>() & 0xFF;
        if (amount == 0) {
            nz(x);
        } else if (amount < 32) {
            c = ((x >> (32 - amount)) & 1) != 0;
            r<d>() = nz(x << amount);
        } else {
            c = amount == 32 && (x & 1) != 0;
            r<d>() = nz(0);
        }
    }
    template <int d, int s>
    SNT_M0_PATH void lsrs_reg()
    {
        tick(1);
        const std::uint32_t x = r<d>(), amount = r<s>() & 0xFF;
        if (amount == 0) {
            nz(x);
        } else if (amount < 32) {
            c = ((x >> (amount - 1)) & 1) != 0;
            r<d>() = nz(x >> amount);
        } else {
            c = amount == 32 && (x >> 31) != 0;
            r<d>() = nz(0);
        }
    }
    SNT_M0_PATH std::uint32_t add_flags(std::uint32_t x, std::uint32_t y, bool carry)
    {
        const std::uint64_t wide = std::uint64_t(x) + y + carry;
        const auto result = static_cast<std::uint32_t>(wide);
        c = (wide >> 32) != 0;
        v = (((x ^ result) & (y ^ result)) >> 31) != 0;
        return nz(result);
    }
    SNT_M0_PATH std::uint32_t sub_flags(std::uint32_t x, std::uint32_t y) { return add_flags(x, ~y, true); }
    template <int d, int a, int b>
    SNT_M0_PATH void adds()
    {
        tick(1), r<d>() = add_flags(r<a>(), r<b>(), false);
    }
    template <int d>
    SNT_M0_PATH void adds_imm(std::uint32_t imm)
    {
        tick(1), r<d>() = add_flags(r<d>(), imm, false);
    }
    template <int d, int a>
    SNT_M0_PATH void adds_imm3(std::uint32_t imm)
    {
        tick(1), r<d>() = add_flags(r<a>(), imm, false);
    }
    template <int d, int m>
    SNT_M0_PATH void adcs()
    {
        tick(1), r<d>() = add_flags(r<d>(), r<m>(), c);
    }
    template <int d, int a, int b>
    SNT_M0_PATH void subs()
    {
        tick(1), r<d>() = sub_flags(r<a>(), r<b>());
    }
    template <int d>
    SNT_M0_PATH void subs_imm(std::uint32_t imm)
    {
        tick(1), r<d>() = sub_flags(r<d>(), imm);
    }
    template <int d, int a>
    SNT_M0_PATH void subs_imm3(std::uint32_t imm)
    {
        tick(1), r<d>() = sub_flags(r<a>(), imm);
    }
    template <int d, int m>
    SNT_M0_PATH void negs()
    {
        tick(1), r<d>() = sub_flags(0, r<m>());
    }
    template <int a, int b>
    SNT_M0_PATH void cmp()
    {
        tick(1), sub_flags(r<a>(), r<b>());
    }
    template <int a>
    SNT_M0_PATH void cmp_imm(std::uint32_t imm)
    {
        tick(1), sub_flags(r<a>(), imm);
    }
    template <int d>
    SNT_M0_PATH void movs(std::uint32_t imm)
    {
        tick(1), r<d>() = nz(imm);
    }
    template <int d, int m>
    SNT_M0_PATH void eors()
    {
        tick(1), r<d>() = nz(r<d>() ^ r<m>());
    }
    template <int d, int m>
    SNT_M0_PATH void orrs()
    {
        tick(1), r<d>() = nz(r<d>() | r<m>());
    }
    template <int d, int m>
    SNT_M0_PATH void muls()
    {
        tick(1), r<d>() = nz(r<d>() * r<m>());
    }
    template <int d, int m>
    SNT_M0_PATH void uxth()
    {
        tick(1), r<d>() = r<m>() & 0xFFFF;
    }
    template <int d, int m>
    SNT_M0_PATH void mov()
    {
        tick(1), r<d>() = r<m>();
    } // high-register MOV: no flags
    template <int d, int m>
    SNT_M0_PATH void add_high()
    {
        tick(1), r<d>() += r<m>();
    } // ADD without S: no flags
    template <int d>
    SNT_M0_PATH void adr_table(std::uint32_t base)
    {
        tick(1), r<d>() = base + kClz7;
    }
    template <int d, int index>
    SNT_M0_PATH void ldrb_table() // LDRB Rd, [Rtable, Rindex]: the table's byte
    {
        tick(2);
        r<d>() = table[r<index>() & 0x7F]; // below 128 on every path here
    }
    // A conditional branch at `at` to `to`, both offsets in the section:
    // true when taken. A taken backward one is a back edge.
    SNT_M0_PATH bool branch(bool taken, std::uint32_t at, std::uint32_t to)
    {
        if (!taken) {
            tick(1);
            return false;
        }
        tick(3);
        if (to <= at) back_edge(to);
        return true;
    }
    SNT_M0_PATH void b(std::uint32_t at, std::uint32_t to) { branch(true, at, to); }
    SNT_M0_PATH void bx_lr() { tick(3); } // to the BL's next instruction
    // The interpreter's loop detection at a taken backward branch finds no
    // loop here (checked on the way in: its record lies outside these
    // routines, or a store was made since) and records this state.
    SNT_M0_PATH void back_edge(std::uint32_t target)
    {
        loop->looped = true;
        loop->target = target;
        loop->regs = {r0, r1, r2, r3, r12};
        loop->flags = std::uint32_t(n) | std::uint32_t(z) << 1 | std::uint32_t(c) << 2 | std::uint32_t(v) << 3;
        loop->arrival = cycles;
    }
    SNT_M0_PATH bool cs() const { return c; }
    SNT_M0_PATH bool hi() const { return c && !z; }
    SNT_M0_PATH bool ls() const { return !c || z; }
};

// ---------------------------------------------------------------- fmul

// Exactly half way, rounded up: to even, and return (the same three
// instructions end fmul's, fadd's and fsub's ties).
SNT_M0_PATH bool to_even(Path &t)
{
    t.lsrs<0, 0>(1);
    t.lsls<0, 0>(1);
    t.bx_lr();
    return true;
}

SNT_M0_PATH bool fmul_tie(Path &t)
{
    t.adcs<0, 2>();
    return to_even(t);
}

// Exponents ea, eb in 1..254 with ea + eb - 127 in 1..253; anything else
// goes to the general path: not run here.
SNT_M0_PATH bool fmul(Path &t, std::uint32_t)
{
    t.lsls<2, 0>(1);
    t.lsrs<2, 2>(24);
    if (t.branch(t.z, 0x004, 0x084)) return false;
    t.lsls<3, 1>(1);
    t.lsrs<3, 3>(24);
    if (t.branch(t.z, 0x00a, 0x08c)) return false;
    t.cmp_imm<2>(255);
    if (t.branch(t.z, 0x00e, 0x0a0)) return false;
    t.cmp_imm<3>(255);
    if (t.branch(t.z, 0x012, 0x0a0)) return false;
    t.adds<2, 2, 3>();
    t.subs_imm<2>(128);
    t.cmp_imm<2>(252);
    if (t.branch(t.hi(), 0x01a, 0x0a0)) return false;
    t.lsrs<2, 0>(23);
    t.subs_imm<2>(1);
    t.lsls<2, 2>(23);
    t.subs<0, 0, 2>();
    t.lsrs<3, 1>(23);
    t.subs_imm<3>(1);
    t.lsls<3, 3>(23);
    t.subs<1, 1, 3>();
    t.adds<2, 2, 3>();
    t.movs<3>(125);
    t.lsls<3, 3>(23);
    t.subs<2, 2, 3>();
    t.mov<12, 2>();
    // the 24-bit product
    t.lsrs<2, 1>(16);
    t.muls<2, 0>();
    t.uxth<3, 1>();
    t.lsrs<1, 0>(16);
    t.muls<1, 3>();
    t.adds<2, 2, 1>();
    t.uxth<0, 0>();
    t.muls<3, 0>();
    t.lsrs<0, 3>(16);
    t.lsls<3, 3>(16);
    t.adds<0, 0, 2>();
    t.mov<2, 12>();
    if (!t.branch(!t.n, 0x04e, 0x06c)) {
        t.lsls<1, 0>(25);
        t.orrs<1, 3>();
        if (!t.branch(t.z, 0x054, 0x05c)) {
            t.lsrs<0, 0>(8);
            t.adcs<0, 2>();
            t.bx_lr();
            return true;
        }
        t.lsrs<0, 0>(8);
        if (t.branch(t.cs(), 0x05e, 0x064)) return fmul_tie(t);
        t.add_high<0, 2>();
        t.bx_lr();
        return true;
    }
    t.lsls<1, 0>(26);
    t.orrs<1, 3>();
    if (!t.branch(t.z, 0x070, 0x07a)) {
        t.lsls<0, 0>(2);
        t.lsrs<0, 0>(9);
        t.adcs<0, 2>();
        t.bx_lr();
        return true;
    }
    t.lsls<0, 0>(2);
    t.lsrs<0, 0>(9);
    if (t.branch(t.cs(), 0x07e, 0x064)) return fmul_tie(t);
    t.add_high<0, 2>();
    t.bx_lr();
    return true;
}

// ---------------------------------------------------------------- fadd

// The packing of an exact difference D (r3) with its leading one at bit
// 23 - r2, the exponent's offset k.
SNT_M0_PATH bool cancel_pack(Path &t, std::uint32_t k)
{
    t.lsls_reg<3, 2>();
    t.subs<0, 0, 2>();
    t.subs_imm<0>(k);
    t.lsls<0, 0>(23);
    t.adds<0, 0, 3>();
    t.bx_lr();
    return true;
}

// For a distance d (r3) of 9..25: r1 = Mb >> d with a sticky bit 0.
SNT_M0_PATH void far_u(Path &t)
{
    t.movs<2>(1);
    t.lsls<2, 2>(31);
    t.lsls<1, 1>(8);
    t.orrs<1, 2>();
    t.mov<12, 0>();
    t.subs_imm3<0, 1>(1);
    t.lsrs_reg<0, 3>();
    t.lsrs_reg<1, 3>();
    t.subs<0, 0, 1>();
    t.adds_imm<0>(1);
    t.orrs<1, 0>();
    t.mov<0, 12>();
}

// Rounding the sum (add) or difference (subtract) of Ma and U (r1).

SNT_M0_PATH bool carry(Path &t)
{
    t.lsls<1, 3>(23);
    t.lsrs<0, 0>(23);
    t.adds_imm<0>(1);
    t.lsls<0, 0>(23);
    t.lsrs<3, 3>(9);
    t.adcs<0, 3>();
    t.cmp<1, 2>();
    if (t.branch(t.z, 0x31a, 0x31e)) return to_even(t);
    t.bx_lr();
    return true;
}

// From Ma + U: `at` is the offset of its BCS; the rest follows it.
SNT_M0_PATH bool add_u(Path &t, std::uint32_t at)
{
    t.lsls<3, 0>(8);
    t.orrs<3, 2>();
    t.adds<3, 3, 1>();
    if (t.branch(t.cs(), at, 0x30c)) return carry(t);
    t.lsls<3, 1>(24);
    t.lsrs<1, 1>(8);
    t.adcs<0, 1>();
    t.cmp<3, 2>();
    if (t.branch(t.z, at + 10, 0x31e)) return to_even(t);
    t.bx_lr();
    return true;
}

SNT_M0_PATH bool borrow(Path &t)
{
    t.lsls<1, 3>(25);
    t.eors<3, 2>();
    t.lsrs<0, 0>(23);
    t.lsls<0, 0>(23);
    t.asrs<3, 3>(7);
    t.adcs<0, 3>();
    t.cmp<1, 2>();
    if (t.branch(t.z, 0x226, 0x22a)) return to_even(t);
    t.bx_lr();
    return true;
}

// From Ma - U: `at` is the offset of its BPL.
SNT_M0_PATH bool sub_u(Path &t, std::uint32_t at)
{
    t.lsls<3, 0>(8);
    t.orrs<3, 2>();
    t.subs<3, 3, 1>();
    if (t.branch(!t.n, at, 0x218)) return borrow(t);
    t.negs<1, 1>();
    t.lsls<3, 1>(24);
    t.asrs<1, 1>(8);
    t.adcs<0, 1>();
    t.cmp<3, 2>();
    if (t.branch(t.z, at + 12, 0x22a)) return to_even(t);
    t.bx_lr();
    return true;
}

// The leading-zero look-up of D (r3) and the packing, for the cancelling
// paths: `at` is the offset of the ADR, k the exponent's offset; `wide`
// those of d = 1 (the top case looks at bits 23..17).
SNT_M0_PATH bool cancel_lookup(Path &t, std::uint32_t base, std::uint32_t at, std::uint32_t k)
{
    t.lsrs<0, 0>(23);
    t.adr_table<1>(base);
    t.lsrs<2, 3>(8);
    if (t.branch(t.z, at + 4, k == 1 ? 0x2d0 : 0x39a)) {
        t.lsrs<2, 3>(1);
        t.ldrb_table<2, 2>();
        t.adds_imm<2>(15);
        return cancel_pack(t, k);
    }
    t.lsrs<2, 3>(16);
    if (t.branch(!t.z, at + 8, k == 1 ? 0x2c2 : 0x388)) {
        if (k == 1) {
            t.ldrb_table<2, 2>();
        } else {
            t.lsrs<2, 3>(17);
            t.ldrb_table<2, 2>();
            t.subs_imm<2>(1);
        }
        return cancel_pack(t, k);
    }
    t.lsrs<2, 3>(9);
    t.ldrb_table<2, 2>();
    t.adds_imm<2>(7);
    return cancel_pack(t, k);
}

// The magnitudes add (same signs), d = ea - eb in r3.
SNT_M0_PATH bool fadd_add(Path &t)
{
    t.eors<1, 0>();
    t.cmp_imm<3>(8);
    if (!t.branch(t.hi(), 0x2ec, 0x324)) {
        t.movs<2>(1);
        t.lsls<2, 2>(31);
        t.lsls<1, 1>(8);
        t.orrs<1, 2>();
        t.lsrs_reg<1, 3>();
        return add_u(t, 0x2fe);
    }
    t.cmp_imm<3>(25);
    if (t.branch(t.hi(), 0x326, 0x322)) {
        t.bx_lr(); // b too small to count
        return true;
    }
    far_u(t);
    return add_u(t, 0x346);
}

// The magnitudes subtract with d = 1: at most one bit of cancellation.
SNT_M0_PATH bool fadd_cancel1(Path &t, std::uint32_t base)
{
    t.cmp_imm<2>(24);
    if (t.branch(t.ls(), 0x356, 0x3be)) return false; // the result may be subnormal
    t.eors<1, 0>();
    t.lsls<3, 0>(1);
    t.lsls<1, 1>(1);
    t.lsrs<1, 1>(1);
    t.subs<3, 3, 1>();
    t.lsls<2, 2>(23);
    t.subs<3, 3, 2>();
    t.lsrs<2, 3>(24);
    if (t.branch(!t.z, 0x368, 0x3ac)) {
        t.lsrs<0, 0>(23);
        t.lsls<0, 0>(23);
        t.lsls<3, 3>(8);
        t.lsrs<3, 3>(9);
        if (t.branch(t.cs(), 0x3b4, 0x3ba)) {
            t.adcs<0, 3>();
            t.b(0x3bc, 0x31e);
            return to_even(t);
        }
        t.adds<0, 0, 3>();
        t.bx_lr();
        return true;
    }
    return cancel_lookup(t, base, 0x36c, 2);
}

// Finite normal a and b (ea below 254, eb not 0) and a result that needs
// no general path.
SNT_M0_PATH bool fadd(Path &t, std::uint32_t base)
{
    t.lsls<2, 0>(1);
    t.lsls<3, 1>(1);
    t.cmp<2, 3>();
    if (!t.branch(t.cs(), 0x270, 0x27c)) {
        t.eors<0, 1>();
        t.eors<1, 0>();
        t.eors<0, 1>();
        t.lsls<2, 0>(1);
        t.lsls<3, 1>(1);
    }
    t.lsrs<3, 3>(24);
    if (t.branch(t.z, 0x27e, 0x1ba)) return false; // b zero or subnormal
    t.lsrs<2, 2>(24);
    t.cmp_imm<2>(254);
    if (t.branch(t.cs(), 0x284, 0x1da)) return false; // a huge, infinite or NaN
    t.subs<3, 2, 3>();
    t.eors<1, 0>();
    if (t.branch(!t.n, 0x28a, 0x2e8)) return fadd_add(t);
    t.cmp_imm<3>(8);
    if (t.branch(t.hi(), 0x28e, 0x230)) {
        t.cmp_imm<3>(25);
        if (t.branch(t.hi(), 0x232, 0x262)) {
            t.bx_lr(); // b too small to count
            return true;
        }
        t.eors<1, 0>();
        far_u(t);
        return sub_u(t, 0x254);
    }
    t.cmp_imm<3>(1);
    if (t.branch(t.hi(), 0x292, 0x1f6)) {
        t.eors<1, 0>();
        t.movs<2>(1);
        t.lsls<2, 2>(31);
        t.lsls<1, 1>(8);
        t.orrs<1, 2>();
        t.lsrs_reg<1, 3>();
        return sub_u(t, 0x208);
    }
    if (t.branch(t.z, 0x294, 0x354)) return fadd_cancel1(t, base);
    // d = 0
    t.cmp_imm<2>(24);
    if (t.branch(t.ls(), 0x298, 0x2e6)) return false; // the result may be subnormal
    t.eors<1, 0>();
    t.subs<3, 0, 1>();
    t.lsls<3, 3>(9);
    t.lsrs<3, 3>(9);
    if (t.branch(t.z, 0x2a2, 0x2e2)) {
        t.movs<0>(0);
        t.bx_lr();
        return true;
    }
    return cancel_lookup(t, base, 0x2a6, 1);
}

SNT_M0_PATH bool fsub(Path &t, std::uint32_t base)
{
    t.movs<2>(1);
    t.lsls<2, 2>(31);
    t.eors<1, 2>();
    return fadd(t, base);
}

// A sample of 0..4095 converted in line, then the subtraction.
SNT_M0_PATH bool sample_minus(Path &t, std::uint32_t base)
{
    t.lsrs<2, 0>(5);
    if (t.branch(t.z, 0x470, 0x488)) {
        t.cmp_imm<0>(0);
        if (!t.branch(t.z, 0x48a, 0x49c)) {
            t.adr_table<3>(base);
            t.ldrb_table<2, 0>();
            t.adds_imm<2>(16);
            t.lsls_reg<0, 2>();
            t.movs<3>(149);
            t.subs<3, 3, 2>();
            t.lsls<3, 3>(23);
            t.adds<0, 0, 3>();
        }
        t.b(0x49c, kFsub);
        return fsub(t, base);
    }
    t.lsrs<3, 2>(7);
    if (t.branch(!t.z, 0x474, 0x49e)) return false; // negative, or 4096 and above
    t.adr_table<3>(base);
    t.ldrb_table<2, 2>();
    t.adds_imm<2>(11);
    t.lsls_reg<0, 2>();
    t.movs<3>(149);
    t.subs<3, 3, 2>();
    t.lsls<3, 3>(23);
    t.adds<0, 0, 3>();
    t.b(0x486, kFsub);
    return fsub(t, base);
}

// The entries by the mark in a BL's entry (1 to 4), with their first
// halfwords: a cheap look before the fingerprint.
constexpr std::uint32_t kEntries[] = {kFmul, kFsub, kFadd, kSampleMinus};
constexpr std::uint16_t kFirstHalfwords[] = {0x0042, 0x2201, 0x0042, 0x0942};

SNT_M0_PATH bool run_path(unsigned routine, Path &t, std::uint32_t base)
{
    switch (routine) {
    case 1:
        return fmul(t, base);
    case 2:
        return fsub(t, base);
    case 3:
        return fadd(t, base);
    default:
        return sample_minus(t, base);
    }
}

#undef SNT_M0_PATH

} // namespace known_routines

// Marks the BLs in the decoded flash that call a known routine, with the
// routine's number in c, after finding the section by its fingerprint.
void CortexM0::find_known_routines()
{
    using namespace known_routines;
    routines_at_ = kNoRoutines;
    std::uint32_t rejected = kNoRoutines;
    auto verified = [&](std::uint32_t base) {
        if (base == routines_at_) return true;
        if (base == rejected || (base & 3) != 0 || base > flash_.size() || flash_.size() - base < kSectionBytes)
            return false;
        for (unsigned i = 0; i < std::size(kEntries); ++i) {
            if (read_le<2>(flash_.data() + base + kEntries[i]) != kFirstHalfwords[i]) return false;
        }
        if (fingerprint(flash_.data() + base, kSectionBytes) != kSectionFingerprint) {
            rejected = base;
            return false;
        }
        routines_at_ = base;
        return true;
    };
    for (std::uint32_t at = 0; at + 1 < predecoded_.size(); ++at) {
        Decoded &d = predecoded_[at];
        if (d.op != Op::Bl) continue;
        d.c = 0;
        const std::uint32_t target = 2 * at + 4 + static_cast<std::uint32_t>(d.imm);
        for (unsigned i = 0; i < std::size(kEntries); ++i) {
            if (target >= kEntries[i] && verified(target - kEntries[i])) {
                d.c = static_cast<std::uint8_t>(i + 1);
                break;
            }
        }
    }
}

// The call of known routine `routine` (a BL's mark) arriving at its first
// instruction at `arrival`: run at once when its path is one of those above
// and it completes before the batch's end (so no event, no interrupt and
// no end of the run falls within it). Returns its cycles, the return
// included, or 0 where it is left to the interpreter.
CortexM0::Cycles CortexM0::run_known_routine(unsigned routine, Cycles arrival)
{
    using namespace known_routines;
    // A loop detection record inside the routines with nothing stored
    // since could match at a back edge in them: the interpreter's business.
    if (!spin_dirty_ && spin_target_ - memory_.flash_base - routines_at_ < kSectionBytes) return 0;
    Path t;
    Path::LoopRecord loop;
    t.loop = &loop;
    t.r0 = r_[0];
    t.r1 = r_[1];
    t.r2 = r_[2];
    t.r3 = r_[3];
    t.r12 = r_[12];
    t.n = n();
    t.z = z();
    t.c = c_;
    t.v = v_;
    t.table = flash_.data() + routines_at_ + kClz7;
    const std::uint32_t base = memory_.flash_base + routines_at_;
    if (!run_path(routine, t, base) || arrival + t.cycles > stop_at_) return 0;
    r_[0] = t.r0;
    r_[1] = t.r1;
    r_[2] = t.r2;
    r_[3] = t.r3;
    r_[12] = t.r12;
    set_nz(t.n, t.z);
    c_ = t.c;
    v_ = t.v;
    instructions_ += t.count;
    ++known_routine_calls_;
    if (loop.looped) {
        spin_target_ = base + loop.target;
        std::copy(r_.begin(), r_.begin() + 15, spin_regs_.begin());
        for (int i = 0; i < 4; ++i) spin_regs_[i] = loop.regs[i];
        spin_regs_[12] = loop.regs[4];
        spin_flags_ = loop.flags;
        spin_arrival_ = arrival + loop.arrival;
        spin_load_ = 0;
        spin_dirty_ = false;
    }
    return t.cycles;
}

} // namespace sim
