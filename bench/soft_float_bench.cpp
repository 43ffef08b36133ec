// The chip image's single-precision helpers on the Cortex-M0 core against
// the host's single precision, on many operand pairs: how many were checked,
// how many differ, and the cycles per call on normal operands.
//
//   soft_float_bench [PAIRS [IMAGE]]
//
// PAIRS per routine (default 10^9), split over two threads with a core
// each. A NaN result only has to be a quiet NaN; every other result has to
// be the same bits. Cycle figures are given twice: over every pair of
// normal operands with a normal result, and over those whose operands and
// result lie between 2^-30 and 2^30 (the detector's range).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "board/cpu/cortex_m0.h"
#include "board/cpu/elf_image.h"
#include "float_bits.h"
#include "shells/sim/input_files.h"

namespace {

using sim::CortexM0;
using Cycles = CortexM0::Cycles;

using snt_test::bits;
using snt_test::is_nan;
using snt_test::is_normal;
using snt_test::value;

unsigned exponent(std::uint32_t u) { return (u >> 23) & 0xFFu; }
bool is_moderate(std::uint32_t u) { return exponent(u) - 97u <= 60u; } // 2^-30 <= |x| < 2^31

class NoPeripherals final : public CortexM0::Bus, public CortexM0::ExceptionSource {
public:
    std::uint32_t read(std::uint32_t, unsigned) override { return 0; }
    void write(std::uint32_t, std::uint32_t, unsigned) override {}
    int next_to_take(int) override { return -1; }
    int priority_of(int) override { return 0; }
    void activate(int) override {}
    void deactivate(int) override {}
};

constexpr std::uint32_t kBreakpoint = 0x20000FF8, kStackTop = 0x20000FF0;

struct Figures {
    Cycles min = ~Cycles(0), max = 0;
    double total = 0;
    long count = 0;
    void add(Cycles c)
    {
        min = std::min(min, c);
        max = std::max(max, c);
        total += double(c);
        ++count;
    }
    void merge(const Figures &o)
    {
        min = std::min(min, o.min);
        max = std::max(max, o.max);
        total += o.total;
        count += o.count;
    }
};

struct Result {
    long checked = 0, mismatches = 0;
    Figures normal, moderate;
};

enum Op { kAdd, kSub, kMul };
const char *const kNames[] = {"fadd", "fsub", "fmul"};

// Raw bit patterns and the harder cases: near exponents, cancellation,
// ties, tiny and huge operands.
std::pair<std::uint32_t, std::uint32_t> next_pair(std::mt19937_64 &rng, Op op)
{
    std::uint32_t a = std::uint32_t(rng()), b = std::uint32_t(rng());
    switch (rng() % 8) {
    case 0:
    case 1:
    case 2:
        break;
    case 3:
        b = (a & 0x7F800000u) | (b & 0x807FFFFFu);
        break;
    case 4: {
        const int e = std::clamp(int(exponent(a)) + int(rng() % 61) - 30, 0, 255);
        b = (b & 0x807FFFFFu) | (std::uint32_t(e) << 23);
        break;
    }
    case 5:
        b = (a ^ (rng() % 2 ? 0x80000000u : 0)) + std::uint32_t(int(rng() % 513) - 256);
        break;
    case 6: { // moderate magnitudes, as in the detector
        a = (a & 0x807FFFFFu) | (std::uint32_t(97 + rng() % 61) << 23);
        b = (b & 0x807FFFFFu) | (std::uint32_t(97 + rng() % 61) << 23);
        break;
    }
    default:
        if (op == kMul) { // a product with 25 significant bits: half way
            std::uint32_t x, y;
            std::uint64_t p;
            do {
                x = (std::uint32_t(rng()) & 0x1FFFu) | 0x1001u;
                y = (std::uint32_t(rng()) & 0x3FFFu) | 1u;
                p = std::uint64_t(x) * y;
            } while (p < (1u << 24) || p >= (1u << 25));
            a = bits(std::ldexp(float(x), int(rng() % 200) - 100));
            b = bits(std::ldexp(float(y), int(rng() % 200) - 100));
        } else { // a sum half way between two floats
            const std::uint32_t m = (std::uint32_t(rng()) & 0x7FFFFFu) | 0x800000u;
            const int k = int(rng() % 250) - 125;
            a = bits(std::ldexp(float(m), k));
            b = bits(std::ldexp(float(2 * (rng() % 64) + 1), k - 1) * (rng() % 2 ? -1.0f : 1.0f));
        }
        break;
    }
    if (rng() % 2) std::swap(a, b);
    return {a, b};
}

void run(const sim::ElfImage &image, Op op, long pairs, std::uint64_t seed, Result &out)
{
    NoPeripherals none;
    CortexM0 core(none, none);
    for (const auto &segment : image.segments()) core.load(segment.address, segment.bytes.data(), segment.bytes.size());
    core.poke(kBreakpoint, 0xBE00, 2);
    const std::uint32_t address = image.require(std::string("__aeabi_") + kNames[op]);
    std::mt19937_64 rng(seed);
    for (long i = 0; i < pairs; ++i) {
        const auto [a, b] = next_pair(rng, op);
        core.set_reg(0, a);
        core.set_reg(1, b);
        core.set_reg(13, kStackTop);
        core.set_reg(14, kBreakpoint | 1u);
        core.set_reg(15, address);
        const Cycles start = core.now();
        if (core.run(start + 100000) != CortexM0::Stop::Breakpoint) {
            std::fprintf(stderr, "%s(0x%08x, 0x%08x) did not return\n", kNames[op], a, b);
            std::exit(1);
        }
        const Cycles cycles = core.now() - start;
        const std::uint32_t got = core.reg(0);
        const float x = value(a), y = value(b);
        const std::uint32_t want = bits(op == kAdd ? x + y : op == kSub ? x - y : x * y);
        ++out.checked;
        if (is_nan(want) ? !(is_nan(got) && (got & 0x00400000u)) : got != want) {
            if (++out.mismatches <= 10) {
                std::fprintf(stderr, "%s(0x%08x, 0x%08x) = 0x%08x, want 0x%08x\n", kNames[op], a, b, got, want);
            }
        }
        if (is_normal(a) && is_normal(b) && is_normal(want)) {
            out.normal.add(cycles);
            if (is_moderate(a) && is_moderate(b) && is_moderate(want)) out.moderate.add(cycles);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    const long pairs = argc > 1 ? std::atol(argv[1]) : 1000000000L;
    const std::string path = argc > 2 ? argv[2] : SNT_CHIP_IMAGE;
    const sim::ElfImage image = sim::read_image_file(path);
    constexpr int kThreads = 2;
    std::printf("%s: %ld pairs per routine, %d threads\n", path.c_str(), pairs, kThreads);
    long failures = 0;
    for (Op op : {kAdd, kSub, kMul}) {
        Result parts[kThreads];
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            const long share = pairs / kThreads + (t < pairs % kThreads ? 1 : 0);
            threads.emplace_back(run, std::cref(image), op, share,
                                 0x5F000000u + std::uint64_t(op) * 16 + std::uint64_t(t), std::ref(parts[t]));
        }
        for (auto &thread : threads) thread.join();
        Result all;
        for (const Result &r : parts) {
            all.checked += r.checked;
            all.mismatches += r.mismatches;
            all.normal.merge(r.normal);
            all.moderate.merge(r.moderate);
        }
        failures += all.mismatches;
        std::printf("%s: %ld checked, %ld mismatches; cycles, normal operands and result: min %llu, mean %.1f, "
                    "max %llu (%ld pairs); between 2^-30 and 2^30: min %llu, mean %.1f, max %llu (%ld pairs)\n",
                    kNames[op], all.checked, all.mismatches, (unsigned long long)all.normal.min,
                    all.normal.total / double(std::max(all.normal.count, 1L)), (unsigned long long)all.normal.max,
                    all.normal.count, (unsigned long long)all.moderate.min,
                    all.moderate.total / double(std::max(all.moderate.count, 1L)), (unsigned long long)all.moderate.max,
                    all.moderate.count);
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
