// The analysis one piece at a time, on text and values in memory:
// frequencies as typed and printed, sweep plans, the summary, sweep results
// with their dB and CSV, and sweep CSVs read back (as a reference or a
// saved sweep) from a buffer, with the bounds and messages of a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"
#include "core/analysis/sweep.h"
#include "core/analysis/sweep_csv.h"
#include "sweep_points.h"

namespace snt {
namespace {

using snt_test::sweep_of_db;

bool all_printable(const std::string &s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

SweepResult reference_of(const std::string &text) { return parse_sweep_csv(text, "ref.csv", SweepCsv::Reference); }

TEST(SntFrequency, TakesSuffixesAndPlainHertz)
{
    EXPECT_EQ(parse_frequency("10.7M"), 10700000u);
    EXPECT_EQ(parse_frequency("455k"), 455000u);
    EXPECT_EQ(parse_frequency("455K"), 455000u);
    EXPECT_EQ(parse_frequency("25000000"), 25000000u);
    EXPECT_EQ(parse_frequency("1G"), 1000000000u);
    EXPECT_EQ(parse_frequency("10.7MHz"), 10700000u);
    EXPECT_EQ(parse_frequency("18.2k"), 18200u);
    EXPECT_EQ(parse_frequency("0.5"), 1u) << "rounded to the nearest hertz";
    EXPECT_EQ(parse_frequency("4294967295"), 4294967295u);
}

TEST(SntFrequency, RefusesWhatIsNotAFrequency)
{
    for (const char *bad : {"", "abc", "-5", "+5", "10x", "10.7 M", "M", "5G", "4294967296", "10m", "1e", "nan"}) {
        EXPECT_THROW(parse_frequency(bad), InputError) << bad;
    }
    try {
        parse_frequency("12q", "--start");
        FAIL();
    } catch (const InputError &e) {
        EXPECT_NE(std::string(e.what()).find("--start"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("12q"), std::string::npos);
    }
}

TEST(SntFrequency, CountsAreWholeAndPositive)
{
    EXPECT_EQ(parse_count("200"), 200u);
    for (const char *bad : {"0", "", "-1", "1.5", "10k", "x"}) EXPECT_THROW(parse_count(bad), InputError) << bad;
}

TEST(SntFrequency, FormatsWithAUnitFromTheSize)
{
    EXPECT_EQ(format_frequency(10.7e6), "10.7 MHz");
    EXPECT_EQ(format_frequency(455e3), "455 kHz");
    EXPECT_EQ(format_frequency(18200), "18.2 kHz");
    EXPECT_EQ(format_frequency(999), "999 Hz");
    EXPECT_EQ(format_frequency(200e6), "200 MHz");
    EXPECT_STREQ(unit_for(20e6).name, "MHz");
    EXPECT_STREQ(unit_for(500e3).name, "kHz");
}

TEST(SntSweepPlan, PointsSpreadEvenly)
{
    const SweepPlan p = SweepPlan::make(1000000, 20000000, 20, std::nullopt);
    EXPECT_EQ(p.start, 1000000u);
    EXPECT_EQ(p.step, 1000000u);
    EXPECT_EQ(p.points, 20u);
    EXPECT_EQ(p.last(), 20000000u);

    const SweepPlan one = SweepPlan::make(10700000, 10700000, 1, std::nullopt);
    EXPECT_EQ(one.points, 1u);
    EXPECT_GT(one.step, 0u);

    const SweepPlan uneven = SweepPlan::make(1000000, 20000000, 200, std::nullopt);
    EXPECT_EQ(uneven.step, 95477u); // 19 MHz / 199, rounded
    EXPECT_LE(uneven.last(), kMaxFrequency);
}

TEST(SntSweepPlan, StepFillsUpToStop)
{
    const SweepPlan p = SweepPlan::make(1000000, 2050000, std::nullopt, 100000);
    EXPECT_EQ(p.points, 11u);
    EXPECT_EQ(p.last(), 2000000u);
}

TEST(SntSweepPlan, RefusesWhatTheDeviceCannotDo)
{
    const auto refuses = [](std::uint32_t a, std::uint32_t b, std::optional<std::uint32_t> n,
                            std::optional<std::uint32_t> s, const std::string &says) {
        try {
            SweepPlan::make(a, b, n, s);
            ADD_FAILURE() << "accepted " << a << ".." << b;
        } catch (const InputError &e) {
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
        }
    };
    refuses(2000000, 1000000, 10, std::nullopt, "below the start");
    refuses(1000000, 2000000, 10, 1000, "either");
    refuses(1000000, 2000000, std::nullopt, std::nullopt, "either");
    refuses(1000000, 2000000, 0, std::nullopt, "at least 1");
    refuses(1000000, 2000000, std::nullopt, 0, "more than 0");
    refuses(10000, 2000000, 10, std::nullopt, "18.2 kHz to 200 MHz");
    refuses(190000000, 230000000, 10, std::nullopt, "18.2 kHz to 200 MHz");
    refuses(1000000, 1000010, 100, std::nullopt, "less than 1 Hz apart");
    refuses(1000000, 1000000, 2, std::nullopt, "--points 1");
    refuses(1000000, 100000000, 2000000, std::nullopt, "too many");
}

TEST(SntSummary, FindsExtremesAndInterpolatesTheMinus3dBPoints)
{
    const Summary s = Summary::of(
        sweep_of_db({{100, -20.0}, {200, -10.0}, {300, -1.0}, {400, 0.0}, {500, -2.0}, {600, -6.0}, {700, -30.0}}));
    ASSERT_TRUE(s.max && s.min);
    EXPECT_DOUBLE_EQ(s.max->db, 0.0);
    EXPECT_DOUBLE_EQ(s.max->frequency, 400);
    EXPECT_DOUBLE_EQ(s.min->db, -30.0);
    EXPECT_DOUBLE_EQ(s.min->frequency, 700);
    ASSERT_TRUE(s.lower_3db && s.upper_3db);
    EXPECT_NEAR(*s.lower_3db, 200 + 100 * 7.0 / 9.0, 1e-9); // -10 -> -1 dB crosses -3 at 7/9
    EXPECT_NEAR(*s.upper_3db, 525, 1e-9);                   // -2 -> -6 dB crosses -3 at 1/4
    ASSERT_TRUE(s.bandwidth());
    EXPECT_NEAR(*s.bandwidth(), 525 - (200 + 700.0 / 9.0), 1e-9);
    EXPECT_FALSE(s.several_peaks);
    EXPECT_NE(s.text().find("-3 dB bandwidth"), std::string::npos);
}

TEST(SntSummary, PointsExactlyAtTheMinus3dBLevelAreInsideTheBandwidth)
{
    // Peak -1.5 dB, two points at exactly -4.5 dB: they belong to the peak's
    // -3 dB stretch and are themselves its -3 dB points.
    const Summary s = Summary::of(sweep_of_db({{100, -20.0}, {200, -4.5}, {300, -1.5}, {400, -4.5}, {500, -20.0}}));
    EXPECT_FALSE(s.several_peaks) << "the points at -3 dB are part of the one peak";
    EXPECT_EQ(s.points_in_bandwidth, 3u);
    ASSERT_TRUE(s.lower_3db && s.upper_3db);
    EXPECT_DOUBLE_EQ(*s.lower_3db, 200);
    EXPECT_DOUBLE_EQ(*s.upper_3db, 400);
    ASSERT_TRUE(s.bandwidth());
    EXPECT_DOUBLE_EQ(*s.bandwidth(), 200);
}

TEST(SntSummary, PeakAtTheEdgeHasOneMinus3dBPoint)
{
    const Summary s = Summary::of(sweep_of_db({{1000, 0.0}, {2000, -1.0}, {3000, -5.0}, {4000, -20.0}}));
    EXPECT_FALSE(s.lower_3db);
    ASSERT_TRUE(s.upper_3db);
    EXPECT_NEAR(*s.upper_3db, 2500, 1e-9);
    EXPECT_FALSE(s.bandwidth());
    EXPECT_NE(s.text().find("below the start of the sweep"), std::string::npos) << s.text();
}

TEST(SntSummary, FlatResponseSaysTheMinus3dBPointsAreOutside)
{
    const Summary s = Summary::of(sweep_of_db({{1000, -0.1}, {2000, 0.0}, {3000, -0.2}}));
    EXPECT_FALSE(s.lower_3db);
    EXPECT_FALSE(s.upper_3db);
    EXPECT_NE(s.text().find("outside the sweep"), std::string::npos) << s.text();
}

TEST(SntSummary, SeveralPeaksGiveNoBandwidth)
{
    const Summary s = Summary::of(sweep_of_db({{1, -20.0}, {2, 0.0}, {3, -20.0}, {4, -1.0}, {5, -20.0}}));
    EXPECT_TRUE(s.several_peaks);
    EXPECT_FALSE(s.bandwidth());
    EXPECT_NE(s.text().find("more than one"), std::string::npos);
}

TEST(SntSummary, GapsAreSkippedAndNamed)
{
    const Summary s = Summary::of(sweep_of_db({{1, -20.0}, {2, std::nullopt}, {3, 0.0}, {4, -10.0}}));
    EXPECT_DOUBLE_EQ(s.max->frequency, 3);
    EXPECT_DOUBLE_EQ(s.min->db, -20.0);
    EXPECT_FALSE(s.lower_3db);
    EXPECT_TRUE(s.lower_gap);
    EXPECT_TRUE(s.upper_3db);
    EXPECT_NE(s.text().find("gap"), std::string::npos);

    EXPECT_FALSE(Summary::of(sweep_of_db({{1, std::nullopt}})).max);
    EXPECT_NE(Summary::of(sweep_of_db({{1, std::nullopt}})).text().find("every point is a gap"), std::string::npos);
}

TEST(SntSweepResult, DecibelsAgainstFullScaleAndGaps)
{
    SweepPlan plan;
    plan.start = 1000000;
    plan.step = 500000;
    plan.points = 3;
    const SweepResult r(plan, {kFullScaleLevel, std::nullopt, kFullScaleLevel / 100});
    ASSERT_EQ(r.points().size(), 3u);
    EXPECT_EQ(r.points()[1].frequency, 1500000u);
    EXPECT_NEAR(*r.points()[0].db, 0.0, 1e-12);
    EXPECT_FALSE(r.points()[1].level);
    EXPECT_FALSE(r.points()[1].db);
    EXPECT_NEAR(*r.points()[2].db, -20.0, 1e-12);

    EXPECT_EQ(r.csv(),
              "frequency_hz,level,db\n"
              "1000000,36864000000.00,0.000\n"
              "1500000,,\n"
              "2000000,368640000.00,-20.000\n");
}

TEST(SntSweepResult, ReferenceRoundTripAndNormalisation)
{
    SweepPlan plan;
    plan.start = 1000000;
    plan.step = 1000000;
    plan.points = 4;
    const SweepResult ref = reference_of(SweepResult(plan, {2e10, std::nullopt, 1e10, 4e10}).csv());
    ASSERT_EQ(ref.points().size(), 4u);
    EXPECT_DOUBLE_EQ(*ref.points()[0].level, 2e10);
    EXPECT_FALSE(ref.points()[1].level);

    SweepResult r(plan, {1e10, 1e10, 1e10, 1e10});
    r.normalise(ref);
    EXPECT_NEAR(*r.points()[0].db, 10 * std::log10(0.5), 1e-12);
    EXPECT_FALSE(r.points()[1].db) << "'*' in the reference: a gap";
    EXPECT_NEAR(*r.points()[2].db, 0.0, 1e-12);
    EXPECT_NEAR(*r.points()[3].db, 10 * std::log10(0.25), 1e-12);

    // A reference made in memory may still hold a level of 0: a gap, never
    // an infinite or NaN dB.
    SweepResult r0(plan, {1e10, 1e10, 1e10, 1e10});
    r0.normalise(SweepResult(plan, {2e10, 0.0, -1.0, 1e10}));
    EXPECT_FALSE(r0.points()[1].db);
    EXPECT_FALSE(r0.points()[2].db);
    EXPECT_TRUE(r0.points()[1].level);
}

TEST(SntSweepResult, MismatchedReferenceNamesTheFirstDifference)
{
    SweepPlan a;
    a.start = 1000000;
    a.step = 1000000;
    a.points = 5;
    SweepPlan b = a;
    b.step = 1100000;
    const SweepResult ref(a, std::vector<std::optional<double>>(5, 1e10));
    SweepResult r(b, std::vector<std::optional<double>>(5, 1e10));
    try {
        r.normalise(ref);
        FAIL();
    } catch (const InputError &e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("point 2"), std::string::npos) << m;
        EXPECT_NE(m.find("2000000 Hz"), std::string::npos) << m;
        EXPECT_NE(m.find("2100000 Hz"), std::string::npos) << m;
    }
    SweepPlan c = a;
    c.points = 6;
    SweepResult longer(c, std::vector<std::optional<double>>(6, 1e10));
    try {
        longer.normalise(ref);
        FAIL();
    } catch (const InputError &e) {
        EXPECT_NE(std::string(e.what()).find("6000000 Hz"), std::string::npos) << e.what();
    }
}

TEST(SntSweepResult, RefusesAFileThatIsNotASweep)
{
    EXPECT_THROW(reference_of("hello\n1,2,3\n"), InputError);
    EXPECT_THROW(reference_of("frequency_hz,level,db\nabc,1,2\n"), InputError);
}

// --- The reference reader ----------------------------------------------

std::string reading_refused(const std::string &text)
{
    try {
        reference_of(text);
    } catch (const InputError &e) {
        return e.what();
    }
    return "";
}

TEST(SntReference, EveryLevelIsAFiniteNumberAboveZero)
{
    for (const char *level : {"nan", "NaN", "inf", "-inf", "infinity", "1e999", "0", "0.00", "-0.00", "-5", "1e-400"}) {
        const std::string why =
            reading_refused(std::string("frequency_hz,level,db\n1000000,3e10,0\n1250000,") + level + ",\n");
        EXPECT_NE(why.find("line 3"), std::string::npos) << level << ": " << why;
        EXPECT_NE(why.find(std::string("\"") + level + "\""), std::string::npos) << why;
        EXPECT_EQ(why.find("nan dB"), std::string::npos);
    }
    EXPECT_EQ(reading_refused("frequency_hz,level,db\n1000000,3e10,0\n1250000,,\n1500000,1e-3,-133\n"), "")
        << "a gap and a tiny positive level are fine";
}

TEST(SntReference, MalformedRowsAreRefusedWithTheirLine)
{
    const std::string head = "frequency_hz,level,db\n1000000,3e10,0.000\n";
    for (const char *row : {"abc,1,2", "1250000", "1250000,1", "1250000,1,2,3", ",1,2", "1250000,1x,2", "1250000,1,x",
                            "-1250000,1,2", "1250000, 1,2", "4294967296,1,2"}) {
        const std::string why = reading_refused(head + row + "\n");
        EXPECT_NE(why.find("line 3"), std::string::npos) << row << ": " << why;
    }
    EXPECT_NE(reading_refused("").find("is empty"), std::string::npos);
    EXPECT_NE(reading_refused("frequency_hz,level,db\n").find("has no points"), std::string::npos);
    EXPECT_NE(reading_refused("hello\n1,2,3\n").find("not a sweep CSV"), std::string::npos);
    EXPECT_EQ(reading_refused("frequency_hz,level,db\r\n1000000,3e10,0\r\n\r\n1250000,,\r\n"), "")
        << "CR LF line ends and blank lines are fine";
    const std::string with_nul = reading_refused(head + std::string("1250000,1\0,2\n", 13));
    EXPECT_NE(with_nul.find("\\x00"), std::string::npos) << with_nul;
    EXPECT_TRUE(all_printable(with_nul)) << with_nul;
}

TEST(SntSavedSweep, AnOverloadColumnTakesTheDbOutAndNoReferenceHasIt)
{
    const std::string head = "frequency_hz,level,db,overload\n";
    const SweepResult saved =
        parse_sweep_csv(head + "1000000,7e10,,1\n1250000,3e10,-0.9,\n", "amp.csv", SweepCsv::Saved);
    ASSERT_EQ(saved.points().size(), 2u);
    EXPECT_FALSE(saved.points()[0].db) << "a clipped tone is no gain";
    EXPECT_DOUBLE_EQ(*saved.points()[0].level, 7e10);
    EXPECT_DOUBLE_EQ(*saved.points()[1].db, -0.9);
    for (const char *row : {"1000000,7e10,,2", "1000000,7e10,,yes", "1000000,7e10,", "1000000,7e10,,1,1"}) {
        EXPECT_THROW(parse_sweep_csv(head + row + "\n", "amp.csv", SweepCsv::Saved), InputError) << row;
    }
    EXPECT_NE(reading_refused(head + "1000000,7e10,,1\n").find("line 2: an overloaded point"), std::string::npos);
    EXPECT_EQ(reading_refused(head + "1000000,3e10,,\n"), "") << "a reference without overloaded points is fine";
}

} // namespace
} // namespace snt
