// snt's pieces one by one: frequencies, the command line, sweep results,
// CSV, reference normalisation and the summary; and against what a careless
// user or a broken device hands them: the reference reader, output files,
// messages that quote outside text, and the device protocol's waits.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"
#include "core/analysis/sweep.h"
#include "core/text/text.h"
#include "fake_tester.h"
#include "files.h"
#include "protocol.h"
#include "shells/snt/device.h"
#include "shells/snt/file_identity.h"
#include "shells/snt/line_reader.h"
#include "shells/snt/options.h"
#include "shells/snt/output.h"
#include "shells/snt/plotter.h"
#include "shells/snt/serial_port.h"
#include "sweep_points.h"
#include "temp_dir.h"

namespace snt {
namespace {

using snt_test::sweep_of_db;

using snt_test::read_file;

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

Invocation parse(const std::vector<std::string> &args) { return parse_arguments(args); }

std::string refusal(const std::vector<std::string> &args)
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
              "unknown command \"frobnicate\"; commands: id, sweep, set, off, cal, xtal, raw, serve, plot")
        << "an option's value is not taken for the command";
    EXPECT_NE(refusal({"--port", "/dev/ttyUSB0"}).find("no command given"), std::string::npos);
}

TEST(SntOptions, HelpIsAnswered)
{
    testing::internal::CaptureStdout();
    const Invocation inv = parse({"sweep", "--help"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "main prints the answer, where a write can be checked";
    ASSERT_TRUE(inv.done);
    EXPECT_EQ(*inv.done, 0);
    EXPECT_NE(inv.answer.find("--points"), std::string::npos);
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

    std::ostringstream csv;
    r.write_csv(csv);
    EXPECT_EQ(csv.str(),
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
    const snt_test::TempDir dir("snt_unit");
    const std::string path = dir / "ref.csv";
    std::ofstream(path) << SweepResult(plan, {2e10, std::nullopt, 1e10, 4e10}).csv();
    const SweepResult ref = SweepResult::read_csv(path);
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
    const snt_test::TempDir dir("snt_unit");
    const std::string path = dir / "notref.csv";
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

// --- Messages that quote text from outside -------------------------------

bool all_printable(const std::string &s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

TEST(SntText, ShowsEveryByteOutsidePrintableAsciiAsHex)
{
    EXPECT_EQ(printable("plain text, 10.7 MHz"), "plain text, 10.7 MHz");
    EXPECT_EQ(printable(std::string("a\0b", 3)), "a\\x00b") << "a NUL must not cut the message";
    EXPECT_EQ(printable("\r\n\t\x1b[2J"), "\\x0d\\x0a\\x09\\x1b[2J");
    EXPECT_EQ(printable("\x7f\x80\xff"), "\\x7f\\x80\\xff");
    EXPECT_EQ(printable("Messung\xe2\x80\x93"
                        "1"),
              "Messung\\xe2\\x80\\x931");
}

TEST(SntText, InQuotesEscapedAndCut)
{
    EXPECT_EQ(in_quotes("1.2;XYZ"), "\"1.2;XYZ\"");
    EXPECT_EQ(in_quotes("say \"hi\" \\ there"), "\"say \\\"hi\\\" \\\\ there\"");
    EXPECT_EQ(in_quotes(std::string("1\0\x85", 3)), "\"1\\x00\\x85\"");
    EXPECT_EQ(in_quotes(std::string(100, 'A'), 10), "\"AAAAAAAAAA\"...");
    EXPECT_EQ(in_quotes(std::string(10, 'A'), 10), "\"AAAAAAAAAA\"");
}

// --- The command line: empty values, one file under two names ----------

// A fresh folder of its own for each test, removed afterwards.
struct TempFolder : snt_test::TempDir {
    TempFolder() : TempDir("snt_unit") {}
};

SweepPlan five_points()
{
    SweepPlan plan;
    plan.start = 1000000;
    plan.step = 250000;
    plan.points = 5;
    return plan;
}

// A reference of five_points() in `path`.
void write_reference(const std::string &path)
{
    std::ofstream(path) << SweepResult(five_points(), std::vector<std::optional<double>>(5, 3e10)).csv();
}

const std::vector<std::string> kFivePoints{"sweep", "--start", "1M", "--stop", "2M", "--points", "5"};

std::vector<std::string> sweep_with(std::vector<std::string> more)
{
    std::vector<std::string> args = kFivePoints;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(SntOptions, EmptyValuesAreRefusedNotTakenForTheDefault)
{
    for (const char *option : {"--port", "--dut", "--flash", "--noise", "--seed", "--xtal", "--image"}) {
        const std::string why = refusal({option, "", "id"});
        EXPECT_EQ(why, std::string(option) + " was given an empty value") << option;
    }
    for (const char *option : {"--csv", "--plot", "--ref", "--save-ref"}) {
        const std::string why = refusal(sweep_with({option, ""}));
        EXPECT_EQ(why, std::string(option) + " was given an empty value") << option;
    }
    EXPECT_NE(refusal({"raw", ""}).find("LINE is empty"), std::string::npos) << refusal({"raw", ""});
    EXPECT_FALSE(refusal({"set", ""}).empty());
}

TEST(SntOptions, AnOutputThatIsAnInputUnderAnyNameIsRefused)
{
    TempFolder dir;
    const std::string ref = dir / "thru.csv";
    write_reference(ref);
    ASSERT_EQ(symlink(ref.c_str(), (dir / "link.csv").c_str()), 0);
    ASSERT_EQ(link(ref.c_str(), (dir / "hard.csv").c_str()), 0);
    const std::string dotted = dir.path() + "/./thru.csv";
    const std::string page = dir / "page.png"; // a settings page may be called anything
    std::ofstream(page) << std::string(1024, '\xff');
    const std::string s2p = dir / "filter.s2p";
    std::ofstream(s2p) << "# Hz S RI R 50\n";

    const std::vector<std::vector<std::string>> cases = {
        {"--ref", ref, "--csv", ref},
        {"--ref", ref, "--save-ref", ref},
        {"--ref", ref, "--csv", dotted},
        {"--ref", ref, "--save-ref", dir / "link.csv"},
        {"--ref", dir / "link.csv", "--csv", ref},
        {"--ref", ref, "--csv", dir / "hard.csv"},
        {"--image", page, "--plot", page},
        {"--image", page, "--flash", page},
        {"--ref", ref, "--flash", dir / "link.csv"},
        {"--dut", "touchstone:" + s2p, "--csv", s2p},
    };
    for (const auto &c : cases) {
        const std::string why = refusal(sweep_with(c));
        EXPECT_NE(why.find("is the same file as"), std::string::npos) << c[1] << " / " << c[3] << ": " << why;
        EXPECT_NE(why.find(c[2]), std::string::npos) << why;
        EXPECT_NE(why.find(c[0]), std::string::npos) << why;
    }
    EXPECT_EQ(refusal(sweep_with({"--ref", ref, "--csv", ref})),
              "--csv " + ref + " is the same file as --ref " + ref + ": writing it would destroy it");
    EXPECT_EQ(read_file(page), std::string(1024, '\xff'));
}

TEST(SntOptions, TwoOutputsThatAreOneFileAreRefused)
{
    TempFolder dir;
    const std::string a = dir / "a.csv"; // not there yet
    EXPECT_NE(refusal(sweep_with({"--csv", a, "--save-ref", a})).find("are the same file"), std::string::npos);
    EXPECT_NE(refusal(sweep_with({"--csv", a, "--save-ref", dir.path() + "/./a.csv"})).find("are the same file"),
              std::string::npos);
    EXPECT_NE(refusal(sweep_with({"--csv", dir / "p.png", "--plot", dir / "p.png"})).find("are the same file"),
              std::string::npos);
    EXPECT_EQ(refusal(sweep_with({"--flash", dir / "p.png", "--plot", dir / "p.png"})),
              "--flash " + dir / "p.png" + " and --plot " + dir / "p.png" + " are the same file: give each its own")
        << "snt-sim writes its settings page";
    EXPECT_NE(refusal({"--flash", a, "--image", a, "id"}).find("is the same file as --image"), std::string::npos)
        << "not only for sweeps";
    EXPECT_TRUE(dir.entries().empty()) << "checking creates nothing";
}

TEST(SntOptions, DistinctFilesAndDevicesAreAccepted)
{
    TempFolder dir;
    const std::string ref = dir / "thru.csv";
    write_reference(ref);
    EXPECT_EQ(refusal(sweep_with({"--ref", ref, "--csv", dir / "a.csv", "--save-ref", dir / "b.csv", "--plot",
                                  dir / "a.png", "--flash", dir / "page.bin"})),
              "");
    EXPECT_EQ(refusal(sweep_with({"--csv", "/dev/null", "--save-ref", "/dev/null"})), "")
        << "two outputs to a device replace nothing";
}

// --- The reference reader ----------------------------------------------

std::string reading_refused(const std::string &text)
{
    TempFolder dir;
    const std::string path = dir / "ref.csv";
    std::ofstream(path, std::ios::binary) << text;
    try {
        SweepResult::read_csv(path);
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

TEST(SntReference, EndlessAndOversizedInputIsRefusedEarly)
{
    // /dev/zero never ends and has no line ends: refused at its first line.
    try {
        SweepResult::read_csv("/dev/zero");
        FAIL() << "read /dev/zero";
    } catch (const InputError &e) {
        EXPECT_NE(std::string(e.what()).find("line 1 is longer than"), std::string::npos) << e.what();
    }
    EXPECT_NE(reading_refused("frequency_hz,level,db\n" + std::string(5000, '1') + ",1,\n").find("line 2 is longer"),
              std::string::npos);
    // More rows than any sweep has.
    std::string many = "frequency_hz,level,db\n";
    many.reserve(std::size_t{9} * (kMaxPoints + 2));
    for (std::uint32_t i = 0; i <= kMaxPoints; ++i) many += "1000,1,\n";
    EXPECT_NE(reading_refused(many).find("more than 1000000 points"), std::string::npos);
    // A folder is not a file.
    try {
        const TempFolder folder;
        SweepResult::read_csv(folder.path());
        FAIL();
    } catch (const InputError &e) {
        EXPECT_NE(std::string(e.what()).find("folder"), std::string::npos) << e.what();
    }
}

TEST(SntLineReader, SplitsLinesWithinItsBounds)
{
    TempFolder dir;
    const std::string path = dir / "lines.txt";
    std::ofstream(path, std::ios::binary) << "one\r\ntwo\n\nlast";
    {
        LineReader in(path, {8, 100});
        EXPECT_EQ(in.next(), "one");
        EXPECT_EQ(in.next(), "two");
        EXPECT_EQ(in.next(), "");
        EXPECT_EQ(in.next(), "last") << "the last line needs no end";
        EXPECT_EQ(in.line_number(), 4u);
        EXPECT_EQ(in.next(), std::nullopt);
    }
    std::ofstream(path, std::ios::binary) << "12345678\n123456789\n";
    {
        LineReader in(path, {8, 100});
        EXPECT_EQ(in.next(), "12345678");
        EXPECT_THROW(in.next(), InputError);
    }
    std::ofstream(path, std::ios::binary) << std::string(150, '\n');
    {
        LineReader in(path, {8, 100});
        try {
            while (in.next()) {}
            FAIL() << "read past the size limit";
        } catch (const InputError &e) {
            EXPECT_NE(std::string(e.what()).find("larger than 100 bytes"), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(LineReader(dir / "missing", {8, 100}), InputError);
}

TEST(SntLineReader, AFifoIsReadOnceItsWriterComes)
{
    TempFolder dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    LineReader in(fifo, {64, 1000}); // opening does not wait for a writer
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ofstream(fifo) << "frequency_hz,level,db\nsecond";
    });
    EXPECT_EQ(in.next(), "frequency_hz,level,db");
    EXPECT_EQ(in.next(), "second");
    EXPECT_EQ(in.next(), std::nullopt);
    writer.join();
}

// --- Output files -------------------------------------------------------

TEST(SntOutputFile, TheFileIsUntouchedUntilCommitThenReplacedWhole)
{
    TempFolder dir;
    const std::string path = dir / "keep.csv";
    std::ofstream(path) << "old\n";
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    {
        OutputFile out("--csv", path);
        out.write("new ");
        out.write("content\n");
        EXPECT_EQ(read_file(path), "old\n");
        EXPECT_EQ(dir.entries().size(), 2u) << "the temporary sits next to the file";
        out.commit();
        EXPECT_EQ(read_file(path), "new content\n");
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.csv"});
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the file keeps its mode";
}

TEST(SntOutputFile, AnAbandonedOutputLeavesTheOldFileAndNoTemporary)
{
    TempFolder dir;
    const std::string path = dir / "keep.csv";
    std::ofstream(path) << "old\n";
    {
        OutputFile out("--csv", path);
        out.write("half a fi");
    } // an error or Ctrl-C before commit
    EXPECT_EQ(read_file(path), "old\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.csv"});
    {
        OutputFile out("--csv", dir / "new.csv");
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.csv"}) << "a new file appears only on commit";
}

TEST(SntOutputFile, ASymbolicLinkStaysAndItsTargetIsReplaced)
{
    TempFolder dir;
    const std::string real = dir / "real.csv";
    const std::string link_path = dir / "link.csv";
    std::ofstream(real) << "old\n";
    ASSERT_EQ(symlink("real.csv", link_path.c_str()), 0);
    OutputFile out("--csv", link_path);
    out.write("new\n");
    out.commit();
    struct stat st {};
    ASSERT_EQ(lstat(link_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(real), "new\n");
}

TEST(SntOutputFile, ANewFileGetsTheModeTheUmaskGives)
{
    TempFolder dir;
    const mode_t old = umask(027);
    {
        OutputFile out("--csv", dir / "a.csv");
        out.write("x\n");
        out.commit();
    }
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat((dir / "a.csv").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(SntOutputFile, WhatCannotBeWrittenIsRefusedBeforeAnythingIsCreated)
{
    TempFolder dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere/x.csv", (dir / "dangling.csv").c_str()), 0);
    std::ofstream(dir / "file") << "x";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/nonexistent/dir/a.csv", "No such file or directory"},
        {dir / "sub", "folder"},
        {dir / "sub/", "folder"},
        {dir / "no/such/dir/a.csv", "No such file or directory"},
        {dir / "dangling.csv", "does not exist"},
        {dir / "file/a.csv", "Not a directory"},
    };
    for (const auto &[path, reason] : cases) {
        try {
            OutputFile out("--csv", path);
            ADD_FAILURE() << "accepted " << path;
        } catch (const InputError &e) {
            const std::string m = e.what();
            EXPECT_EQ(m.rfind("--csv " + path, 0), 0u) << m;
            EXPECT_NE(m.find(reason), std::string::npos) << m;
        }
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"dangling.csv", "file", "sub"}));
}

TEST(SntOutputFile, DevicesAreWrittenInPlaceAndTheirFailuresReported)
{
    {
        OutputFile out("--csv", "/dev/null");
        out.write("anything\n");
        EXPECT_NO_THROW(out.commit());
    }
    OutputFile full("--csv", "/dev/full");
    full.write("anything\n");
    try {
        full.commit();
        FAIL() << "/dev/full took the file";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("cannot write /dev/full: No space left on device"), std::string::npos)
            << e.what();
    }
}

TEST(SntOutputFile, IdentityFollowsLinksAndNames)
{
    TempFolder dir;
    std::ofstream(dir / "a") << "x";
    ASSERT_EQ(symlink("a", (dir / "l").c_str()), 0);
    EXPECT_EQ(FileIdentity::of(dir / "a"), FileIdentity::of(dir / "l"));
    EXPECT_EQ(FileIdentity::of(dir / "new"), FileIdentity::of(dir.path() + "/./new"));
    EXPECT_NE(FileIdentity::of(dir / "new"), FileIdentity::of(dir / "a"));
    EXPECT_FALSE(FileIdentity::of("/dev/null"));
    EXPECT_FALSE(FileIdentity::of(dir.path()));
}

// --- The device protocol against a tester that misbehaves ---------------

// Shorter overall limits than a real tester needs, so each case takes
// about a second; the waits for an answer stay generous for a busy machine.
Timing quick()
{
    Timing t;
    t.identify = std::chrono::milliseconds(1000);
    t.greeting = std::chrono::milliseconds(1500);
    t.settle = std::chrono::milliseconds(100);
    t.raw_quiet = std::chrono::milliseconds(300);
    t.raw_limit = std::chrono::milliseconds(1500);
    return t;
}

using Clock = std::chrono::steady_clock;
// Far above any of quick()'s limits: only proves that nothing hangs.
constexpr auto kNoHang = std::chrono::seconds(10);

TEST(SntDevice, ABannerAndTheAnswerBehindItAreTakenInStride)
{
    snt_test::FakeTester tester;
    bool first = true;
    tester.start([&first](const std::string &line) {
        if (line == "w" && first) {
            first = false;
            return std::string("25000123\r" ID_TEXT "\r" ID_TEXT "\r"); // banner, then the answer to our `w`
        }
        return snt_test::FakeTester::firmware(line);
    });
    SerialPort port(tester.port());
    Device device(port, quick());
    EXPECT_EQ(device.banner_crystal(), 25000123u);
    EXPECT_EQ(device.identify(), ID_TEXT);
    EXPECT_EQ(device.sweep(1000000, 1000, 3), (std::vector<Device::Level>(3, 36864000000.0)));
}

TEST(SntDevice, BannerLinesThatNeverEndDoNotKeepTheGreetingGoing)
{
    snt_test::FakeTester tester;
    tester.start(nullptr, "25000000\r");
    SerialPort port(tester.port());
    const auto t0 = Clock::now();
    try {
        Device device(port, quick());
        FAIL() << "a device that only ever sends banner lines was taken";
    } catch (const ProtocolError &e) {
        EXPECT_NE(std::string(e.what()).find("keeps sending"), std::string::npos) << e.what();
    }
    EXPECT_LT(Clock::now() - t0, kNoHang);
}

TEST(SntDevice, ADeviceThatNeverGoesQuietAfterItsBannerIsRefused)
{
    snt_test::FakeTester tester;
    tester.start(nullptr, "25000000\r" ID_TEXT "\r");
    SerialPort port(tester.port());
    const auto t0 = Clock::now();
    try {
        Device device(port, quick());
        FAIL() << "the drain after the banner took endless output";
    } catch (const ProtocolError &e) {
        EXPECT_NE(std::string(e.what()).find("has not gone quiet"), std::string::npos) << e.what();
    }
    EXPECT_LT(Clock::now() - t0, kNoHang);
}

TEST(SntDevice, ALineWithoutEndIsRefusedAtItsLimit)
{
    snt_test::FakeTester tester;
    tester.start(nullptr, std::string(64, 'A'));
    SerialPort port(tester.port());
    const auto t0 = Clock::now();
    try {
        Device device(port, quick());
        FAIL();
    } catch (const PortError &e) {
        EXPECT_NE(std::string(e.what()).find("a line of more than 256 bytes"), std::string::npos) << e.what();
    }
    EXPECT_LT(Clock::now() - t0, kNoHang);
}

TEST(SntDevice, RawStopsWhenTheDeviceWillNotAndSaysSo)
{
    snt_test::FakeTester tester;
    tester.start(snt_test::FakeTester::firmware, "1.00\r"); // as if a sweep never ended
    SerialPort port(tester.port());
    Device device(port, quick());
    std::size_t lines = 0;
    const auto t0 = Clock::now();
    try {
        device.raw("w", [&lines](const std::string &) { ++lines; });
        FAIL() << "raw never went quiet, yet ended without an error";
    } catch (const PortError &e) {
        EXPECT_NE(std::string(e.what()).find("still sending"), std::string::npos) << e.what();
    }
    EXPECT_GT(lines, 0u) << "what came was handed on as it came";
    EXPECT_LT(Clock::now() - t0, kNoHang);
}

TEST(SntDevice, BytesFromTheDeviceAreEscapedInMessages)
{
    snt_test::FakeTester tester;
    tester.start(
        [](const std::string &line) { return line == "w" ? std::string("1.2\0X\x85\x1b[2J\r", 11) : std::string(); });
    SerialPort port(tester.port());
    try {
        Device device(port, quick());
        FAIL();
    } catch (const ProtocolError &e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("\"1.2\\x00X\\x85\\x1b[2J\""), std::string::npos) << m;
        EXPECT_TRUE(all_printable(m)) << m;
    }
    try {
        parse_level(std::string("12.5\0\xff", 6));
        FAIL();
    } catch (const ProtocolError &e) {
        EXPECT_NE(std::string(e.what()).find("\"12.5\\x00\\xff\""), std::string::npos) << e.what();
    }
}

} // namespace
} // namespace snt
