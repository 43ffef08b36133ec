// snt's pieces one by one: frequencies, the command line, sweep results,
// CSV, reference normalisation and the summary.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "frequency.h"
#include "options.h"
#include "plotter.h"
#include "summary.h"
#include "sweep.h"

namespace snt {
namespace {

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
    EXPECT_EQ(uneven.step, 95477u);  // 19 MHz / 199, rounded
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

Invocation parse(std::vector<std::string> args) { return parse_arguments(args); }

std::string refusal(std::vector<std::string> args)
{
    try {
        parse_arguments(args);
    } catch (const InputError &e) {
        return e.what();
    }
    return "";
}

TEST(SntOptions, ReadsASweep)
{
    const Invocation inv = parse({"sweep", "--start", "1M", "--stop", "20M", "--points", "20", "--csv", "a.csv",
                                  "--plot", "a.PNG", "--dut", "lowpass:10M"});
    EXPECT_FALSE(inv.done);
    EXPECT_EQ(inv.command, Command::Sweep);
    EXPECT_EQ(inv.sweep.plan.start, 1000000u);
    EXPECT_EQ(inv.sweep.plan.step, 1000000u);
    EXPECT_EQ(inv.sweep.csv, "a.csv");
    EXPECT_EQ(inv.port, "");
    EXPECT_EQ(inv.sim_args, (std::vector<std::string>{"--dut", "lowpass:10M"}));

    const Invocation global_first = parse({"--port", "/dev/ttyUSB0", "set", "10.7M"});
    EXPECT_EQ(global_first.command, Command::Set);
    EXPECT_EQ(global_first.frequency, 10700000u);
    EXPECT_EQ(global_first.port, "/dev/ttyUSB0");
    EXPECT_TRUE(global_first.sim_args.empty());

    EXPECT_EQ(parse({"xtal", "25.000123M"}).frequency, 25000123u);
    EXPECT_EQ(parse({"raw", "w"}).raw_line, "w");
    EXPECT_EQ(parse({"off"}).command, Command::Off);
    EXPECT_EQ(parse({"cal"}).command, Command::Cal);
    EXPECT_EQ(parse({"id"}).command, Command::Id);
}

TEST(SntOptions, RefusesBadInputWithOneLine)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"sweep", "--start", "1M", "--stop", "20M"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "10", "--step", "1M"},
        {"sweep", "--start", "20M", "--stop", "1M", "--points", "10"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "0"},
        {"sweep", "--start", "1M", "--stop", "230M", "--points", "10"},
        {"sweep", "--start", "1Q", "--stop", "20M", "--points", "10"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "10", "--plot", "x.pdf"},
        {"sweep", "--start", "1M", "--stop", "20M", "--points", "10", "--ref", "/nonexistent/ref.csv"},
        {"set", "10k"},
        {"set", "250M"},
        {"set"},
        {"xtal", "23999999"},
        {"xtal", "31000001"},
        {"raw", "w\rw"},
        {"--port", "/dev/ttyUSB0", "--dut", "thru", "id"},
    };
    for (const auto &args : bad) {
        const std::string why = refusal(args);
        std::string shown;
        for (const auto &a : args) shown += a + " ";
        EXPECT_FALSE(why.empty()) << shown;
        EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    }
    EXPECT_NE(refusal({"set", "250M"}).find("18.2 kHz to 200 MHz"), std::string::npos);
    EXPECT_NE(refusal({"xtal", "1M"}).find("24000000 to 31000000"), std::string::npos);
    EXPECT_EQ(refusal({"--dut", "thru", "frobnicate"}),
              "unknown command \"frobnicate\"; commands: id, sweep, set, off, cal, xtal, raw")
        << "an option's value is not taken for the command";
    EXPECT_NE(refusal({"--port", "/dev/ttyUSB0"}).find("no command given"), std::string::npos);
}

TEST(SntOptions, HelpIsAnswered)
{
    testing::internal::CaptureStdout();
    const Invocation inv = parse({"sweep", "--help"});
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(inv.done);
    EXPECT_EQ(*inv.done, 0);
    EXPECT_NE(out.find("--points"), std::string::npos);
}

SweepResult from(const std::vector<std::pair<std::uint32_t, std::optional<double>>> &db_points)
{
    std::vector<SweepPoint> pts;
    for (const auto &[f, db] : db_points) {
        SweepPoint p;
        p.frequency = f;
        if (db) {
            p.level = kFullScaleLevel * std::pow(10.0, *db / 10);
            p.db = db;
        }
        pts.push_back(p);
    }
    return SweepResult(pts);
}

TEST(SntSummary, FindsExtremesAndInterpolatesTheMinus3dBPoints)
{
    const Summary s = Summary::of(from({{100, -20.0}, {200, -10.0}, {300, -1.0}, {400, 0.0}, {500, -2.0},
                                        {600, -6.0}, {700, -30.0}}));
    ASSERT_TRUE(s.max && s.min);
    EXPECT_DOUBLE_EQ(s.max->db, 0.0);
    EXPECT_DOUBLE_EQ(s.max->frequency, 400);
    EXPECT_DOUBLE_EQ(s.min->db, -30.0);
    EXPECT_DOUBLE_EQ(s.min->frequency, 700);
    ASSERT_TRUE(s.lower_3db && s.upper_3db);
    EXPECT_NEAR(*s.lower_3db, 200 + 100 * 7.0 / 9.0, 1e-9);  // -10 -> -1 dB crosses -3 at 7/9
    EXPECT_NEAR(*s.upper_3db, 525, 1e-9);                   // -2 -> -6 dB crosses -3 at 1/4
    ASSERT_TRUE(s.bandwidth());
    EXPECT_NEAR(*s.bandwidth(), 525 - (200 + 700.0 / 9.0), 1e-9);
    EXPECT_FALSE(s.several_peaks);
    EXPECT_NE(s.text().find("-3 dB bandwidth"), std::string::npos);
}

TEST(SntSummary, PeakAtTheEdgeHasOneMinus3dBPoint)
{
    const Summary s = Summary::of(from({{1000, 0.0}, {2000, -1.0}, {3000, -5.0}, {4000, -20.0}}));
    EXPECT_FALSE(s.lower_3db);
    ASSERT_TRUE(s.upper_3db);
    EXPECT_NEAR(*s.upper_3db, 2500, 1e-9);
    EXPECT_FALSE(s.bandwidth());
    EXPECT_NE(s.text().find("below the start of the sweep"), std::string::npos) << s.text();
}

TEST(SntSummary, FlatResponseSaysTheMinus3dBPointsAreOutside)
{
    const Summary s = Summary::of(from({{1000, -0.1}, {2000, 0.0}, {3000, -0.2}}));
    EXPECT_FALSE(s.lower_3db);
    EXPECT_FALSE(s.upper_3db);
    EXPECT_NE(s.text().find("outside the sweep"), std::string::npos) << s.text();
}

TEST(SntSummary, SeveralPeaksGiveNoBandwidth)
{
    const Summary s = Summary::of(from({{1, -20.0}, {2, 0.0}, {3, -20.0}, {4, -1.0}, {5, -20.0}}));
    EXPECT_TRUE(s.several_peaks);
    EXPECT_FALSE(s.bandwidth());
    EXPECT_NE(s.text().find("more than one"), std::string::npos);
}

TEST(SntSummary, GapsAreSkippedAndNamed)
{
    const Summary s = Summary::of(from({{1, -20.0}, {2, std::nullopt}, {3, 0.0}, {4, -10.0}}));
    EXPECT_DOUBLE_EQ(s.max->frequency, 3);
    EXPECT_DOUBLE_EQ(s.min->db, -20.0);
    EXPECT_FALSE(s.lower_3db);
    EXPECT_TRUE(s.lower_gap);
    EXPECT_TRUE(s.upper_3db);
    EXPECT_NE(s.text().find("gap"), std::string::npos);

    EXPECT_FALSE(Summary::of(from({{1, std::nullopt}})).max);
    EXPECT_NE(Summary::of(from({{1, std::nullopt}})).text().find("every point is a gap"), std::string::npos);
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

    std::ostringstream csv;
    r.write_csv(csv);
    EXPECT_EQ(csv.str(), "frequency_hz,level,db\n"
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
    const std::string path = testing::TempDir() + "snt_unit_ref.csv";
    SweepResult(plan, {2e10, std::nullopt, 1e10, 0.0}).write_csv(path);
    const SweepResult ref = SweepResult::read_csv(path);
    ASSERT_EQ(ref.points().size(), 4u);
    EXPECT_DOUBLE_EQ(*ref.points()[0].level, 2e10);
    EXPECT_FALSE(ref.points()[1].level);

    SweepResult r(plan, {1e10, 1e10, 1e10, 1e10});
    r.normalise(ref);
    EXPECT_NEAR(*r.points()[0].db, 10 * std::log10(0.5), 1e-12);
    EXPECT_FALSE(r.points()[1].db) << "'*' in the reference: a gap";
    EXPECT_NEAR(*r.points()[2].db, 0.0, 1e-12);
    EXPECT_FALSE(r.points()[3].db) << "a reference level of 0: a gap";
    EXPECT_TRUE(r.points()[3].level);
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
    const std::string path = testing::TempDir() + "snt_unit_notref.csv";
    std::ofstream(path) << "hello\n1,2,3\n";
    EXPECT_THROW(SweepResult::read_csv(path), InputError);
    std::ofstream(path) << "frequency_hz,level,db\nabc,1,2\n";
    EXPECT_THROW(SweepResult::read_csv(path), InputError);
}

TEST(SntPlotter, FormatByExtensionAndTitle)
{
    EXPECT_EQ(Plotter::format_of("a.png"), Plotter::Format::Png);
    EXPECT_EQ(Plotter::format_of("dir.x/a.SVG"), Plotter::Format::Svg);
    EXPECT_THROW(Plotter::format_of("a.pdf"), InputError);
    EXPECT_THROW(Plotter::format_of("png"), InputError);
    SweepPlan plan;
    plan.start = 1000000;
    plan.step = 1000000;
    plan.points = 20;
    const SweepResult r(plan, std::vector<std::optional<double>>(20, 1e10));
    EXPECT_EQ(Plotter::title(r, "lowpass:10M"), "snt sweep 1\u201320 MHz, lowpass:10M");
    EXPECT_EQ(Plotter::title(r, ""), "snt sweep 1\u201320 MHz");
}

} // namespace
} // namespace snt
