// The chip image's single-precision helpers (firmware/platform/stm32f030/
// soft_float.S) run on the Cortex-M0 core and held against the host's own
// single precision, and the tone detector's interrupt handler timed on the
// core. Every case is seeded: a failure names the operands, which replay.
//
// The host's float is SSE: round to nearest even, no flush of subnormals
// (checked below). A NaN result only has to be a quiet NaN; every other
// result has to be the same bits.
#include <gtest/gtest.h>

#include <xmmintrin.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "board/cpu/cortex_m0.h"
#include "board/cpu/elf_image.h"
#include "board/cpu/firmware_symbol.h"
#include "board/peripherals/adc.h"
#include "board/peripherals/memory_map.h"
#include "float_bits.h"

namespace {

using sim::CortexM0;
using Cycles = CortexM0::Cycles;

const std::string kImage = SNT_CHIP_IMAGE;

std::vector<std::uint8_t> image_bytes()
{
    std::ifstream in(kImage, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Operand pairs per two-operand routine in the random sweep.
constexpr long kPairs = 10'000'000;

using snt_test::bits;
using snt_test::is_nan;
using snt_test::is_normal;
using snt_test::value;

std::string hex(std::uint32_t u)
{
    std::ostringstream s;
    s << "0x" << std::hex << u;
    return s.str();
}

// Nothing but flash and RAM: any other access is a failure of the test.
class NoPeripherals : public CortexM0::Bus, public CortexM0::ExceptionSource {
public:
    std::uint32_t read(std::uint32_t address, unsigned) override
    {
        ADD_FAILURE() << "read of " << hex(address);
        return 0;
    }
    void write(std::uint32_t address, std::uint32_t, unsigned) override
    {
        ADD_FAILURE() << "write of " << hex(address);
    }
    int next_to_take(int) override { return -1; }
    int priority_of(int) override { return 0; }
    void activate(int) override {}
    void deactivate(int) override {}
};

// The image on a core of its own, with a breakpoint in RAM to return to.
class Chip {
public:
    static constexpr std::uint32_t kBreakpoint = 0x20000FF8;
    static constexpr std::uint32_t kStackTop = 0x20000FF0;

    explicit Chip(CortexM0::Bus &bus, CortexM0::ExceptionSource &exceptions)
        : image_(image_bytes(), kImage), core_(bus, exceptions)
    {
        for (const auto &segment : image_.segments()) {
            core_.load(segment.address, segment.bytes.data(), segment.bytes.size());
        }
        core_.poke(kBreakpoint, 0xBE00, 2); // bkpt #0
    }

    const sim::ElfImage &image() const { return image_; }
    CortexM0 &core() { return core_; }

    // Calls the function at `address` with r0, r1 as a BL would; returns r0
    // and the cycles from its first instruction to the return (the BX or POP
    // that reaches the breakpoint included). Checks that the callee kept
    // r4-r11 and SP.
    std::uint32_t call(std::uint32_t address, std::uint32_t r0, std::uint32_t r1, Cycles &cycles)
    {
        core_.set_reg(0, r0);
        core_.set_reg(1, r1);
        core_.set_reg(2, 0xDEAD0002);
        core_.set_reg(3, 0xDEAD0003);
        core_.set_reg(12, 0xDEAD000C);
        for (int n = 4; n <= 11; ++n) core_.set_reg(n, 0x5A5A0000u + unsigned(n));
        core_.set_reg(13, kStackTop);
        core_.set_reg(14, kBreakpoint | 1u);
        core_.set_reg(15, address);
        const Cycles start = core_.now();
        CortexM0::Stop stop;
        do { // a batch also ends after each access to the Bus
            stop = core_.run(start + 100000);
        } while (stop == CortexM0::Stop::BusAccess);
        cycles = core_.now() - start;
        if (stop != CortexM0::Stop::Breakpoint || core_.pc() != kBreakpoint) {
            ADD_FAILURE() << "call of " << hex(address) << " (" << hex(r0) << ", " << hex(r1) << ") did not return; pc "
                          << hex(core_.pc());
            return 0;
        }
        bool kept = core_.reg(13) == kStackTop;
        for (int n = 4; n <= 11; ++n) kept = kept && core_.reg(n) == 0x5A5A0000u + unsigned(n);
        if (!kept) ADD_FAILURE() << "call of " << hex(address) << " did not keep r4-r11 and SP";
        return core_.reg(0);
    }

private:
    sim::ElfImage image_;
    CortexM0 core_;
};

// Cycle figures of one routine.
struct Timing {
    Cycles min = ~Cycles(0), max = 0;
    double total = 0;
    long count = 0;
    std::uint32_t max_a = 0, max_b = 0;

    void add(Cycles c, std::uint32_t a, std::uint32_t b)
    {
        min = std::min(min, c);
        if (c > max) {
            max = c;
            max_a = a;
            max_b = b;
        }
        total += double(c);
        ++count;
    }
    std::string text() const
    {
        std::ostringstream s;
        s << "min " << min << ", mean " << total / double(count) << ", max " << max << " (" << hex(max_a) << ", "
          << hex(max_b) << ") over " << count;
        return s.str();
    }
};

using HostOp = std::function<float(float, float)>;

// A two-operand routine against the host, over every operand source.
class Routine {
public:
    Routine(Chip &chip, const std::string &name, HostOp op)
        : chip_(chip), name_(name), op_(std::move(op)), address_(chip.image().require("__aeabi_" + name))
    {}

    void check(std::uint32_t a, std::uint32_t b)
    {
        Cycles cycles = 0;
        const std::uint32_t got = chip_.call(address_, a, b, cycles);
        const std::uint32_t want = bits(op_(value(a), value(b)));
        ++checked_;
        const bool ok = is_nan(want) ? is_nan(got) && (got & 0x00400000u) : got == want;
        if (!ok && ++mismatches_ <= 20) {
            ADD_FAILURE() << name_ << "(" << hex(a) << ", " << hex(b) << ") = " << hex(got) << ", want " << hex(want);
        }
        if (is_normal(a) && is_normal(b) && is_normal(want)) timing_.add(cycles, a, b);
    }

    long checked() const { return checked_; }
    long mismatches() const { return mismatches_; }
    const Timing &timing() const { return timing_; }

private:
    Chip &chip_;
    std::string name_;
    HostOp op_;
    std::uint32_t address_;
    long checked_ = 0, mismatches_ = 0;
    Timing timing_;
};

// Operands of every class: zeros, subnormals, the smallest and largest
// normals, infinities, quiet and signalling NaNs, powers of two and their
// neighbours.
std::vector<std::uint32_t> class_operands()
{
    const std::uint32_t magnitudes[] = {
        0x00000000, 0x00000001, 0x00000002, 0x00000003, 0x00012345, 0x003FFFFF, 0x00400000, 0x007FFFFE,
        0x007FFFFF, 0x00800000, 0x00800001, 0x00FFFFFF, 0x01000000, 0x0C000000, 0x1F800000, 0x33800000,
        0x34000000, 0x3EFFFFFF, 0x3F000000, 0x3F7FFFFF, 0x3F800000, 0x3F800001, 0x3FC00000, 0x3FFFFFFF,
        0x40000000, 0x4B7FFFFF, 0x4B800000, 0x5F800000, 0x7E800000, 0x7EFFFFFF, 0x7F000000, 0x7F7FFFFE,
        0x7F7FFFFF, 0x7F800000, 0x7F800001, 0x7FA00000, 0x7FC00000, 0x7FFFFFFF,
    };
    std::vector<std::uint32_t> all;
    for (std::uint32_t m : magnitudes) {
        all.push_back(m);
        all.push_back(m | 0x80000000u);
    }
    return all;
}

// Random operands: raw bit patterns most of the time, and pairs built to
// meet the hard cases: equal and near exponents, cancellation, subnormal
// and huge operands, and results exactly half way between two floats at
// every rounding position (normal and subnormal results, with and without
// a carry into the next binade).
class PairSource {
public:
    explicit PairSource(std::uint64_t seed) : rng_(seed) {}

    std::pair<std::uint32_t, std::uint32_t> next(bool multiply)
    {
        std::uint32_t a = word(), b = word();
        switch (pick(12)) {
        case 0:
        case 1:
        case 2:
        case 3:
            break; // raw patterns
        case 4:    // same exponent
            b = (a & 0x7F800000u) | (b & 0x807FFFFFu);
            break;
        case 5: // exponents within 30 of each other
            b = (b & 0x807FFFFFu) | exponent(int((a >> 23) & 0xFF) + int(pick(61)) - 30);
            break;
        case 6: // cancellation: b close to -a, or to a
            b = (a ^ (pick(2) ? 0x80000000u : 0)) + std::uint32_t(int(pick(513)) - 256);
            break;
        case 7: // subnormal or tiny operands, and huge ones
            a = (a & 0x807FFFFFu) | (pick(2) ? 0 : exponent(int(pick(8))));
            b = (b & 0x807FFFFFu) | (pick(2) ? exponent(int(pick(256))) : exponent(247 + int(pick(8))));
            break;
        case 8: // both near one
            a = (a & 0x80FFFFFFu) | 0x3F000000u;
            b = (b & 0x80FFFFFFu) | 0x3F000000u;
            break;
        default:
            return multiply ? product_tie() : sum_tie();
        }
        if (pick(2)) std::swap(a, b);
        return {a, b};
    }

private:
    std::uint32_t word() { return std::uint32_t(rng_()); }
    std::uint32_t pick(std::uint32_t n) { return std::uint32_t(rng_() % n); }
    static std::uint32_t exponent(int e) { return std::uint32_t(std::clamp(e, 0, 255)) << 23; }

    // a = M * 2^k (M up to 24 bits), b = +-(odd t) * 2^(k-1): the exact sum
    // lies half way between two multiples of 2^k. Exponents reach the
    // subnormal range, and M is often next to a power of two, so that the
    // sum carries or borrows across a binade.
    std::pair<std::uint32_t, std::uint32_t> sum_tie()
    {
        std::uint32_t m = word() & 0xFFFFFFu;
        switch (pick(4)) {
        case 0:
            m |= 0x800000u;
            break;
        case 1:
            m = 0xFFFFFFu - pick(4);
            break;
        case 2:
            m = 0x800000u + pick(4);
            break;
        default:
            m >>= pick(24);
            break;
        }
        if (m == 0) m = 1;
        const int k = int(pick(280)) - 150;
        const std::uint32_t t = 2 * pick(64) + 1;
        const float a = std::ldexp(float(m), k) * (pick(2) ? -1.0f : 1.0f);
        const float b = std::ldexp(float(t), k - 1) * (pick(2) ? -1.0f : 1.0f);
        if (pick(2)) return {bits(b), bits(a)};
        return {bits(a), bits(b)};
    }

    // Odd A and B whose product has 25 significant bits (half way between
    // two 24-bit mantissas), or a subnormal product exactly half way
    // between two subnormals.
    std::pair<std::uint32_t, std::uint32_t> product_tie()
    {
        std::uint32_t x, y;
        std::uint64_t p;
        do {
            x = (word() & 0x1FFFu) | 0x1001u;
            y = (word() & 0x3FFFu) | 1u;
            p = std::uint64_t(x) * y;
        } while (p < (1u << 24) || p >= (1u << 25));
        int kx, ky;
        if (pick(4) == 0) { // subnormal result: exponent sum -150
            kx = int(pick(200)) - 100;
            ky = -150 - kx;
            const std::uint32_t half = std::uint32_t(p >> pick(20)) | 1u; // an odd product below 2^24
            x = half;
            y = 1;
        } else {
            kx = int(pick(240)) - 140;
            ky = int(pick(240)) - 100 - kx / 2;
        }
        const float a = std::ldexp(float(x), kx) * (pick(2) ? -1.0f : 1.0f);
        const float b = std::ldexp(float(y), ky) * (pick(2) ? -1.0f : 1.0f);
        return {bits(a), bits(b)};
    }

    std::mt19937_64 rng_;
};

class SoftFloat : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The host's reference must not flush subnormals.
        const unsigned csr = _mm_getcsr();
        ASSERT_EQ(csr & 0x8040u, 0u) << "FTZ or DAZ set in MXCSR";
        ASSERT_EQ(csr & 0x6000u, 0u) << "rounding is not to nearest";
    }

    NoPeripherals none_;
    Chip chip_{none_, none_};
};

float add(float x, float y) { return x + y; }
float sub(float x, float y) { return x - y; }
float mul(float x, float y) { return x * y; }

TEST_F(SoftFloat, CallingAFunctionCountsItsCycles)
{
    // i2f(0): lsrs, bne, lsrs, beq (taken), cmp, beq (taken), bx lr.
    Cycles cycles = 0;
    EXPECT_EQ(chip_.call(chip_.image().require("__aeabi_i2f"), 0, 0, cycles), 0u);
    EXPECT_EQ(cycles, 13u);
}

TEST_F(SoftFloat, IntToFloatEveryAdcSampleAndASpreadOfInts)
{
    const std::uint32_t i2f = chip_.image().require("__aeabi_i2f");
    const std::uint32_t ui2f = chip_.image().require("__aeabi_ui2f");
    Timing adc;
    long mismatches = 0;
    auto check = [&](std::uint32_t x, Timing *timing) {
        Cycles cycles = 0;
        const std::uint32_t got = chip_.call(i2f, x, 0, cycles);
        if (got != bits(float(std::int32_t(x))) && ++mismatches < 20) {
            ADD_FAILURE() << "i2f(" << std::int32_t(x) << ") = " << hex(got);
        }
        if (timing) timing->add(cycles, x, 0);
        const std::uint32_t ugot = chip_.call(ui2f, x, 0, cycles);
        if (ugot != bits(float(x)) && ++mismatches < 20) ADD_FAILURE() << "ui2f(" << x << ") = " << hex(ugot);
    };
    // Every value the detector converts: the 12-bit samples.
    for (std::uint32_t v = 0; v < 4096; ++v) check(v, &adc);
    // Each side of every power of two, where the rounding changes.
    for (int k = 0; k < 32; ++k) {
        for (int d = -3; d <= 3; ++d) {
            const std::uint32_t x = (1u << k) + std::uint32_t(d);
            check(x, nullptr);
            check(0u - x, nullptr);
        }
    }
    // Ties and their neighbours above 2^24, and random ints of all sizes.
    std::mt19937_64 rng(20240601);
    for (int i = 0; i < 300000; ++i) {
        const int shift = int(rng() % 32);
        std::uint32_t x = std::uint32_t(rng()) >> shift;
        if (i % 3 == 0) x = (x | (1u << 24)) & ~0x3Fu; // low bits 0: exact or a tie after the shift
        check(x, nullptr);
        check(0u - x, nullptr);
    }
    for (std::uint32_t x : {0x7FFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFFFFFu, 0x7FFFFFC0u, 0x7FFFFF40u}) {
        check(x, nullptr);
    }
    EXPECT_EQ(mismatches, 0);
    std::cout << "i2f of 0..4095: cycles " << adc.text() << "\n";
    EXPECT_LE(adc.max, 25u) << "i2f of an ADC sample";
}

// The detector's fused step: a sample converted and subtracted in one
// routine must give the bits of the conversion followed by the subtraction.
TEST_F(SoftFloat, SampleMinusIsTheConversionThenTheSubtraction)
{
    const std::uint32_t routine = chip_.image().require("platform_sample_minus");
    std::vector<std::uint32_t> xs = class_operands();
    std::mt19937_64 rng(31337);
    for (int i = 0; i < 200; ++i) xs.push_back(bits(float(rng() % 40000) / 8.0f - 1000.0f)); // near the samples
    for (int i = 0; i < 200; ++i) xs.push_back(std::uint32_t(rng()));
    long mismatches = 0, checked = 0;
    const auto check = [&](std::int32_t v, std::uint32_t x) {
        Cycles cycles = 0;
        const std::uint32_t got = chip_.call(routine, std::uint32_t(v), x, cycles);
        const float want = float(v) - value(x);
        const bool ok = std::isnan(want) ? std::isnan(value(got)) : got == bits(want);
        ++checked;
        if (!ok && ++mismatches < 20) ADD_FAILURE() << v << " - " << hex(x) << " = " << hex(got);
    };
    for (std::int32_t v = 0; v < 4096; ++v) {
        for (std::uint32_t x : xs) check(v, x);
    }
    for (std::int32_t v : {-1, -4096, 4096, 65535, 1 << 24, (1 << 24) + 1, INT32_MIN, INT32_MAX}) {
        for (std::uint32_t x : xs) check(v, x);
    }
    EXPECT_EQ(mismatches, 0) << "of " << checked;
}

TEST_F(SoftFloat, EveryClassAgainstEveryClass)
{
    Routine routines[] = {{chip_, "fadd", add}, {chip_, "fsub", sub}, {chip_, "fmul", mul}};
    const std::vector<std::uint32_t> operands = class_operands();
    for (auto &routine : routines) {
        for (std::uint32_t a : operands) {
            for (std::uint32_t b : operands) routine.check(a, b);
        }
        EXPECT_EQ(routine.mismatches(), 0);
    }
}

// Ten million pairs per routine; the figures of the normal ones go to the
// log (the benchmark gives the same on more pairs).
TEST_F(SoftFloat, TenMillionPairsPerRoutine)
{
    Routine routines[] = {{chip_, "fadd", add}, {chip_, "fsub", sub}, {chip_, "fmul", mul}};
    std::uint64_t seed = 0x5EED0001;
    for (auto &routine : routines) {
        const bool multiply = &routine == &routines[2];
        PairSource source(seed++);
        for (long i = 0; i < kPairs; ++i) {
            const auto [a, b] = source.next(multiply);
            routine.check(a, b);
        }
    }
    const char *names[] = {"fadd", "fsub", "fmul"};
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(routines[r].checked(), kPairs);
        EXPECT_EQ(routines[r].mismatches(), 0) << names[r];
        std::cout << names[r] << " on normal operands with a normal result: cycles " << routines[r].timing().text()
                  << "\n";
    }
}

// The helpers called as the firmware calls them, by a BL in flash, where
// the core runs their fast paths at once: the same registers, flags, cycles
// and instruction count as a traced core stepping through them, over every
// operand source. Each routine must have run at once (the core knows the
// image's helpers: after a change to soft_float.S, cortex_m0_routines.cpp
// needs its paths and fingerprint brought up to date), and a changed byte
// in them leaves every call to the interpreter.
TEST_F(SoftFloat, KnownRoutinesRunAtOnceAsTheInterpreterRunsThem)
{
    constexpr std::uint32_t kCaller = 0x08003800; // flash the image leaves free
    Chip traced(none_, none_);
    traced.core().set_trace([](const CortexM0::TraceRecord &) {});
    Chip *const chips[] = {&chip_, &traced};
    std::mt19937_64 rng(0x5EED0002);
    struct State {
        std::array<std::uint32_t, 16> regs;
        std::uint32_t xpsr;
        Cycles cycles;
        std::uint64_t instructions;
        bool operator==(const State &o) const
        {
            return regs == o.regs && xpsr == o.xpsr && cycles == o.cycles && instructions == o.instructions;
        }
    };
    auto call = [&](Chip &chip, std::uint32_t a, std::uint32_t b, std::uint64_t junk) {
        CortexM0 &core = chip.core();
        core.set_reg(0, a);
        core.set_reg(1, b);
        core.set_reg(2, std::uint32_t(junk));
        core.set_reg(3, std::uint32_t(junk >> 32));
        core.set_reg(12, std::uint32_t(junk >> 16));
        core.set_reg(13, Chip::kStackTop);
        core.set_reg(14, 0xFFFFFFFF);
        core.set_reg(15, kCaller);
        core.set_xpsr((std::uint32_t(junk) & 0xF0000000u) | 0x01000000u);
        const Cycles start = core.now();
        const std::uint64_t executed = core.instructions();
        CortexM0::Stop stop;
        do {
            stop = core.run(start + 100000);
        } while (stop == CortexM0::Stop::BusAccess);
        EXPECT_EQ(stop, CortexM0::Stop::Breakpoint);
        State state{{}, core.xpsr(), core.now() - start, core.instructions() - executed};
        for (int n = 0; n < 16; ++n) state.regs[n] = core.reg(n);
        return state;
    };
    auto check = [&](const std::string &name, std::uint32_t a, std::uint32_t b) {
        const std::uint64_t junk = rng();
        const State fast = call(chip_, a, b, junk), slow = call(traced, a, b, junk);
        if (!(fast == slow)) {
            ADD_FAILURE() << name << "(" << hex(a) << ", " << hex(b) << "): cycles " << fast.cycles << " against "
                          << slow.cycles << ", r0 " << hex(fast.regs[0]) << " against " << hex(slow.regs[0])
                          << ", xpsr " << hex(fast.xpsr) << " against " << hex(slow.xpsr);
            return false;
        }
        return true;
    };
    const char *names[] = {"__aeabi_fmul", "__aeabi_fsub", "__aeabi_fadd", "platform_sample_minus"};
    std::uint64_t seed = 0x5EED0003;
    for (const char *name : names) {
        const std::uint32_t target = chip_.image().require(name);
        const std::uint32_t offset = target - (kCaller + 4);
        const std::uint32_t s = offset >> 31, i1 = (offset >> 23) & 1, i2 = (offset >> 22) & 1;
        for (Chip *chip : chips) { // bl target; bkpt
            chip->core().poke(kCaller, 0xF000 | s << 10 | ((offset >> 12) & 0x3FF), 2);
            chip->core().poke(kCaller + 2,
                              0xD000 | (~(i1 ^ s) & 1) << 13 | (~(i2 ^ s) & 1) << 11 | ((offset >> 1) & 0x7FF), 2);
            chip->core().poke(kCaller + 4, 0xBE00, 2);
        }
        const bool conversion = std::string(name) == "platform_sample_minus";
        const std::uint64_t before = chip_.core().known_routine_calls();
        long calls = 0, failures = 0;
        PairSource source(seed++);
        const auto classes = class_operands();
        for (std::uint32_t a : classes) {
            for (std::uint32_t b : classes) {
                failures += !check(name, conversion ? a >> 19 : a, b);
                ++calls;
            }
        }
        for (int i = 0; i < 20000 && failures < 10; ++i, ++calls) {
            auto [a, b] = source.next(name == std::string("__aeabi_fmul"));
            if (conversion) a = i % 8 == 0 ? a : a & 0xFFF; // a sample, or anything
            failures += !check(name, a, b);
        }
        EXPECT_GT(chip_.core().known_routine_calls() - before, std::uint64_t(calls / 4)) << name << " ran at once";
    }
    // One byte of the helpers changed: interpreted, and still alike.
    const std::uint32_t table_end = (chip_.image().require("__aeabi_fmul") & ~1u) + 0x52F;
    for (Chip *chip : chips) chip->core().poke(table_end, 0x02, 1);
    const std::uint64_t before = chip_.core().known_routine_calls();
    EXPECT_TRUE(check("changed", 100, 0x3F800000));
    EXPECT_EQ(chip_.core().known_routine_calls(), before);
}

// ------------------------------------------------------- the ADC handler

// The ADC's status and data registers as the handler reads them: every
// conversion has ended, and the data register holds the next sample.
class AdcStub final : public NoPeripherals {
public:
    static constexpr std::uint32_t kIsr = sim::kAdcBase + sim::Adc::kIsr, kDr = sim::kAdcBase + sim::Adc::kDr;
    std::uint32_t sample = 0;

    std::uint32_t read(std::uint32_t address, unsigned size) override
    {
        if (address == kIsr) return sim::Adc::kEoc;
        if (address == kDr) return sample;
        return NoPeripherals::read(address, size);
    }
};

// The detector as the handler runs it, in host single precision: stages,
// counts and every float operation in the handler's order and grouping.
struct HostDetector {
    std::uint32_t stage = 0;
    std::int32_t nstep = 0, last = 10000;
    float q1 = 0, q2 = 0, coeff = 0;

    void sample(std::int32_t val)
    {
        switch (stage) {
        case 0:
            if (val <= last) {
                last = val;
            } else {
                stage = 1;
            }
            if (++nstep >= 16) {
                nstep = 0;
                stage = 2;
            }
            return;
        case 1:
            if (val < last) {
                nstep = 0;
                stage = 2;
            } else {
                last = val;
                if (++nstep < 16) return;
                nstep = 0;
                stage = 2;
            }
            break;
        case 2:
            break;
        default:
            return;
        }
        const float p = q1 * coeff;
        const float d = float(val) - q2;
        const float q0 = d + p;
        q2 = q1;
        q1 = q0;
        if (++nstep >= 256) stage = 3;
    }
};

// The detector's handler on the core for whole measurements of several
// tones, from the restart ReadData makes: every sample's handler, with the
// exception entry and return the core adds, must end within 300 cycles,
// and the chip's state must be the host's bits after every sample.
TEST(SoftFloatAdcHandler, EverySampleWithinItsCycleBudget)
{
    AdcStub adc;
    Chip chip(adc, adc);
    CortexM0 &core = chip.core();
    const sim::ElfImage &image = chip.image();
    const std::uint32_t handler = image.require(SNT_FW_NAME(ADC1_IRQHandler));
    const std::uint32_t stage = image.require(SNT_FW_NAME(measure_stage)), nstep = image.require(SNT_FW_NAME(nstep)),
                        last = image.require(SNT_FW_NAME(last_val)), q1 = image.require(SNT_FW_NAME(Q1)),
                        q2 = image.require(SNT_FW_NAME(Q2)), coeff = image.require(SNT_FW_NAME(coeff));
    // Each is read and written below as one word.
    static_assert(SNT_FW_SYMBOL(measure_stage).chip_size() == 4 && SNT_FW_SYMBOL(nstep).chip_size() == 4 &&
                      SNT_FW_SYMBOL(last_val).chip_size() == 4 && SNT_FW_SYMBOL(Q1).chip_size() == 4 &&
                      SNT_FW_SYMBOL(Q2).chip_size() == 4 && SNT_FW_SYMBOL(coeff).chip_size() == 4,
                  "the detector's state is held in words");
    const std::uint32_t coefficient = 0x3FEC835Fu; // the firmware's, nearest 1.8477591
    ASSERT_TRUE(core.poke(coeff, coefficient, 4));

    struct Tone {
        double amplitude, offset, hz, noise;
    };
    const Tone tones[] = {{0, 0, 1000, 0},      {0, 4095, 1000, 0},    {2047, 2048, 1000, 0}, {1000, 2048, 1000, 3},
                          {20, 2048, 1000, 2},  {2047, 2048, 1100, 0}, {1500, 2000, 3000, 5}, {3, 1, 1000, 1},
                          {2047, 2048, 0.5, 0}, {2047, 2048, 7999, 0}, {800, 800, 1000, 40}};
    Cycles worst = 0;
    double total = 0;
    long samples = 0;
    std::mt19937_64 rng(7);
    for (const Tone &tone : tones) {
        // ReadData's restart
        ASSERT_TRUE(core.poke(nstep, 0, 4));
        ASSERT_TRUE(core.poke(last, 10000, 4));
        ASSERT_TRUE(core.poke(q1, 0, 4));
        ASSERT_TRUE(core.poke(q2, 0, 4));
        ASSERT_TRUE(core.poke(stage, 0, 4));
        HostDetector host;
        host.coeff = value(coefficient);
        for (int n = 0; n < 320; ++n) {
            const double x = tone.offset + tone.amplitude * std::sin(2 * M_PI * tone.hz * n / 16000.0) +
                tone.noise * (double(rng() % 1001) / 500.0 - 1.0);
            const auto v = std::int32_t(std::clamp(std::lround(x), 0L, 4095L));
            adc.sample = std::uint32_t(v);
            Cycles cycles = 0;
            chip.call(handler, 0, 0, cycles);
            cycles += CortexM0::kEntryCycles + CortexM0::kReturnCycles;
            worst = std::max(worst, cycles);
            total += double(cycles);
            ++samples;
            host.sample(v);
            std::uint32_t w[4] = {};
            ASSERT_TRUE(core.peek(stage, 4, w[0]) && core.peek(nstep, 4, w[1]) && core.peek(q1, 4, w[2]) &&
                        core.peek(q2, 4, w[3]));
            ASSERT_EQ(w[0], host.stage) << "sample " << n;
            ASSERT_EQ(w[1], std::uint32_t(host.nstep)) << "sample " << n;
            ASSERT_EQ(w[2], bits(host.q1)) << "Q1 after sample " << n;
            ASSERT_EQ(w[3], bits(host.q2)) << "Q2 after sample " << n;
        }
        EXPECT_EQ(host.stage, 3u) << "the measurement ends";
    }
    std::cout << "ADC handler, entry and return included: max " << worst << " cycles, mean " << total / double(samples)
              << " over " << samples << " samples\n";
    EXPECT_LE(worst, 300u);
}

} // namespace
