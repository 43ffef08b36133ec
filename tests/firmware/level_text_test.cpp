// Levels as text: format_level against the host C library's "%.2f".
//
// The firmware's formatter must print what snprintf("%.2f", (double)level)
// prints, byte for byte, for every float: the exact binary value rounded to
// two decimals, ties to even. Every check below compares with the host's
// snprintf; a few also compare with texts written out by hand, so that a
// host library with a different notion of rounding cannot pass unnoticed.
#include "board_fixture.h"

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace snt_test {
namespace {

using FormatLevel = decltype(::format_level);

// The longest text: "-" and the 39 integer digits of FLT_MAX, ".", 2 decimals.
constexpr int kLongest = 43;

std::uint32_t bits_of(float f)
{
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

float float_of(std::uint32_t b)
{
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

// splitmix64: fast, and good enough to spread bit patterns evenly.
struct Random {
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

// Compares format_level with snprintf for many values without a gtest
// assertion per value; keeps the count and the first few mismatches.
class Checker {
public:
    explicit Checker(FormatLevel *format) : format_(format) {}

    void check_bits(std::uint32_t bits)
    {
        const float f = float_of(bits);
        char want[64];
        const int want_len = std::snprintf(want, sizeof want, "%.2f", static_cast<double>(f));
        // Exactly the size the formatter may use, so the sanitizer sees any
        // write past it; the filler shows writes past the terminator.
        char got[kLongest + 1];
        std::memset(got, 0x55, sizeof got);
        const int got_len = format_(got, f);
        checked_++;
        bool ok = got_len == want_len && got_len >= 0 && got_len <= kLongest &&
            std::memcmp(got, want, static_cast<std::size_t>(got_len) + 1) == 0;
        for (int i = got_len + 1; ok && i <= kLongest; i++) ok = got[i] == 0x55;
        if (ok) return;
        if (mismatches_++ < 10) {
            char line[200];
            const int shown = got_len >= 0 && got_len <= kLongest ? got_len : 0;
            std::snprintf(line, sizeof line, "  0x%08" PRIx32 " (%a): got \"%.*s\" (%d), want \"%s\" (%d)\n", bits,
                          static_cast<double>(f), shown, got, got_len, want, want_len);
            first_ += line;
        }
    }
    void check(float f) { check_bits(bits_of(f)); }
    // The value and its negative.
    void check_both_signs(std::uint32_t bits)
    {
        check_bits(bits & 0x7FFFFFFFu);
        check_bits(bits | 0x80000000u);
    }
    // The pattern and its `span` neighbours on each side (same sign, no
    // wrapping past zero or into the non-finite patterns), both signs.
    void check_around(std::uint32_t bits, std::uint32_t span)
    {
        const std::uint32_t mag = bits & 0x7FFFFFFFu;
        const std::uint32_t lo = mag > span ? mag - span : 0;
        const std::uint32_t hi = mag + span < 0x7F7FFFFFu ? mag + span : 0x7F7FFFFFu;
        for (std::uint32_t b = lo; b <= hi; b++) check_both_signs(b);
    }

    std::uint64_t checked() const { return checked_; }
    std::uint64_t mismatches() const { return mismatches_; }
    // For a failure message.
    std::string report() const
    {
        return std::to_string(mismatches_) + " of " + std::to_string(checked_) + " differ; the first ones:\n" + first_;
    }

private:
    FormatLevel *format_;
    std::uint64_t checked_ = 0;
    std::uint64_t mismatches_ = 0;
    std::string first_;
};

class LevelText : public BoardTest {
protected:
    FormatLevel *format = &SNT_FW(board.firmware(), format_level);
    Checker checker{format};

    std::string text(float f)
    {
        char buf[50];
        const int n = format(buf, f);
        EXPECT_EQ(n, static_cast<int>(std::strlen(buf))) << buf;
        return buf;
    }
    std::string host_text(float f)
    {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(f));
        return buf;
    }
    void expect_all_match() { EXPECT_EQ(checker.mismatches(), 0u) << checker.report(); }
};

TEST_F(LevelText, KnownTexts)
{
    struct Case {
        float level;
        const char *text;
    } cases[] = {
        {0.0f, "0.00"},
        {-0.0f, "-0.00"},
        {1.0f, "1.00"},
        {-1.0f, "-1.00"},
        {0.01f, "0.01"},
        {-12.34f, "-12.34"},
        {-80.5f, "-80.50"},
        {0.125f, "0.12"}, // exact tie, 2 is even
        {0.375f, "0.38"}, // exact tie, 7 is odd
        {0.625f, "0.62"},
        {0.875f, "0.88"},
        {-0.125f, "-0.12"},
        {2.5f, "2.50"},
        {1.005f, "1.00"},           // 1.00499999523..., no tie
        {0.005f, "0.00"},           // 0.00499999988...
        {0.015f, "0.01"},           // 0.01499999966...
        {0.025f, "0.03"},           // 0.02500000037...
        {0.045f, "0.05"},           // 0.04500000178...
        {2.675f, "2.67"},           // 2.67499995231...
        {1.115f, "1.12"},           // 1.11500000953...
        {0.995f, "1.00"},           // 0.99500000476..., carries into a new digit
        {9.995f, "9.99"},           // 9.99499988555...
        {99.995f, "100.00"},        // 99.99500274658...
        {100000.005f, "100000.01"}, // 100000.0078125
        {-0.004f, "-0.00"},
        {-1e-30f, "-0.00"},
        {16777217.0f, "16777216.00"},
        {1e10f, "10000000000.00"},
        {float_of(0x00000001), "0.00"},
        {float_of(0x80000001), "-0.00"},
        {FLT_MAX, "340282346638528859811704183484516925440.00"},
        {-FLT_MAX, "-340282346638528859811704183484516925440.00"},
        {INFINITY, "inf"},
        {-INFINITY, "-inf"},
        {NAN, "nan"},
        {float_of(0xFFC00000), "-nan"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(text(c.level), c.text) << std::hexfloat << c.level;
        EXPECT_EQ(host_text(c.level), c.text) << "the host library disagrees; " << std::hexfloat << c.level;
    }
}

TEST_F(LevelText, NonFiniteLikeTheHostLibrary)
{
    for (std::uint32_t payload : {0x000001u, 0x000002u, 0x200000u, 0x3FFFFFu, 0x400000u, 0x400001u, 0x7FFFFFu})
        checker.check_both_signs(0x7F800000u | payload);
    checker.check_both_signs(0x7F800000u);
    expect_all_match();
}

TEST_F(LevelText, LongestTextFitsTheBuffer)
{
    char buf[50];
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(format(buf, -FLT_MAX), kLongest);
    EXPECT_EQ(buf[kLongest], 0);
    EXPECT_EQ(buf[kLongest + 1], 0x55);
}

// ±0, the smallest subnormals, the subnormal/normal border.
TEST_F(LevelText, ZeroAndSubnormals)
{
    checker.check_around(0x00000000u, 20000);
    checker.check_around(0x00800000u, 20000);
    checker.check_around(0x007FFFFFu, 100);
    expect_all_match();
}

// Every power of two of the whole range, and its neighbours.
TEST_F(LevelText, PowersOfTwo)
{
    for (int e = -149; e <= 127; e++) {
        const std::uint32_t bits = e >= -126 ? static_cast<std::uint32_t>(e + 127) << 23 : 1u << (e + 149);
        ASSERT_EQ(float_of(bits), std::ldexp(1.0f, e));
        checker.check_around(bits, 3);
    }
    expect_all_match();
}

// Edge mantissas with every exponent: all zeros, all ones, the middle.
TEST_F(LevelText, EdgeMantissasOfEveryExponent)
{
    const std::uint32_t mantissas[] = {0x000000, 0x000001, 0x000002, 0x000003, 0x155555, 0x2AAAAA,
                                       0x3FFFFF, 0x400000, 0x400001, 0x7FFFFD, 0x7FFFFE, 0x7FFFFF};
    for (std::uint32_t exp = 0; exp <= 254; exp++)
        for (std::uint32_t m : mantissas) checker.check_both_signs(exp << 23 | m);
    expect_all_match();
}

// The largest floats, where every one of 39 integer digits counts.
TEST_F(LevelText, LargestFloats)
{
    for (std::uint32_t b = 0x7F7FFFFFu; b > 0x7F7FFFFFu - 50000; b--) checker.check_both_signs(b);
    for (std::uint32_t b = 0x7F000000u; b < 0x7F800000u; b += 97) checker.check_both_signs(b);
    expect_all_match();
}

// Integers around 2^23, 2^24 and 2^25, where the spacing of floats passes 1.
TEST_F(LevelText, IntegersAround2To24)
{
    for (int e : {23, 24, 25}) checker.check_around(bits_of(std::ldexp(1.0f, e)), 20000);
    for (std::int32_t i = (1 << 24) - 3000; i <= (1 << 24) + 3000; i++) checker.check(static_cast<float>(i));
    expect_all_match();
}

// Exact ties: a float whose value has three decimals ending in 5 is an odd
// multiple of 1/8 (x.125, x.375, x.625, x.875): 1/200 needs a factor 25 in
// the numerator to become a power of two. 1.005f and the like are not ties,
// since 1.005 is no float. Ties go to the even hundredth.
TEST_F(LevelText, ExactTiesGoToEven)
{
    static const char *const kCents[8] = {nullptr, "12", nullptr, "38", nullptr, "62", nullptr, "88"};
    std::uint64_t wrong = 0;
    std::string first;
    auto tie = [&](std::uint32_t k) {
        const float f = static_cast<float>(k) / 8.0f; // exact: k < 2^24
        const std::string want = std::to_string(k >> 3) + "." + kCents[k & 7];
        for (const float v : {f, -f}) {
            const std::string w = v < 0 ? "-" + want : want;
            if (text(v) != w && wrong++ < 10) first += "  " + w + " printed as " + text(v) + "\n";
            checker.check(v);
        }
    };
    for (std::uint32_t k = 1; k < 200000; k += 2) tie(k);
    for (std::uint32_t k = 200001; k < (1u << 24); k += 2 * 997) tie(k);
    for (std::uint32_t k = (1u << 24) - 1; k > (1u << 24) - 20000; k -= 2) tie(k);
    EXPECT_EQ(wrong, 0u) << first;
    expect_all_match();
}

// The floats nearest to each half hundredth n + 0.005 and their neighbours:
// just below rounds down, just above rounds up.
TEST_F(LevelText, NearHalfHundredths)
{
    auto around = [&](double target, std::uint32_t span) {
        checker.check_around(bits_of(static_cast<float>(target)), span);
    };
    for (int n = 0; n < 100000; n++) around((n + 0.5) / 100.0, 2);
    for (double scale = 1e3; scale <= 1e7; scale *= 10)
        for (int j = 1; j < 2000; j++) around(scale * j / 1000.0 + 0.005, 2);
    expect_all_match();
}

// Rounding that carries into a new digit: 0.995, 9.995, ..., 999999.995
// and beyond, up to where floats are integers.
TEST_F(LevelText, CarryIntoANewDigit)
{
    for (int p = -2; p <= 12; p++) {
        const double power = std::pow(10.0, p);
        checker.check_around(bits_of(static_cast<float>(power - 0.005)), 300);
        checker.check_around(bits_of(static_cast<float>(power)), 300);
    }
    EXPECT_EQ(text(std::nextafter(0.995f, 0.0f)), "0.99");
    EXPECT_EQ(text(0.995f), "1.00");
    EXPECT_EQ(text(999999.995f), "1000000.00");
    EXPECT_EQ(text(-99.995f), "-100.00");
    expect_all_match();
}

// Random patterns: one half spread over all floats, the other with the
// exponent forced into 2^-27 .. 2^33, where most levels and all rounding
// decisions lie. Non-finite patterns are compared too.
void check_random(Checker &checker, std::uint64_t seed, std::uint64_t count)
{
    Random random{seed};
    for (std::uint64_t i = 0; i < count; i += 2) {
        const std::uint64_t r = random.next();
        checker.check_bits(static_cast<std::uint32_t>(r));
        std::uint32_t b = static_cast<std::uint32_t>(r >> 32);
        const std::uint32_t exp = 100 + (b >> 23 & 0xFF) % 61;
        checker.check_bits((b & 0x807FFFFFu) | exp << 23);
    }
}

constexpr std::uint64_t kRandomCount = 6'000'000; // per test case

TEST_F(LevelText, RandomPatternsFixedSeed)
{
    const std::uint64_t seed = 0x5EED1E7E15ull;
    check_random(checker, seed, kRandomCount);
    EXPECT_EQ(checker.mismatches(), 0u) << "seed 0x" << std::hex << seed << std::dec << ": " << checker.report();
}

// A new seed every run, LEVEL_TEXT_SEED to repeat one.
TEST_F(LevelText, RandomPatternsNewSeedEachRun)
{
    std::uint64_t seed;
    if (const char *env = std::getenv("LEVEL_TEXT_SEED")) {
        seed = std::strtoull(env, nullptr, 0);
    } else {
        std::random_device device;
        seed = static_cast<std::uint64_t>(device()) << 32 | device();
    }
    check_random(checker, seed, kRandomCount);
    EXPECT_EQ(checker.mismatches(), 0u) << "seed 0x" << std::hex << seed << std::dec << " (LEVEL_TEXT_SEED=0x"
                                        << std::hex << seed << std::dec << " repeats it): " << checker.report();
}

} // namespace
} // namespace snt_test
