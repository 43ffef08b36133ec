// snt's bench figures one by one, without a device: logarithmic sweep
// plans and the time a real tester needs, the summary's filter, crystal and
// notch figures, what the plotter puts on a plot (tick labels, markers,
// legend), the records beside each CSV, saved sweeps read back, and the
// confirmation of `x` against a tester that loses the first `w`.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/analysis/summary.h"
#include "core/analysis/sweep.h"
#include "core/analysis/sweep_record.h"
#include "core/text/text.h"
#include "fake_tester.h"
#include "protocol.h"
#include "shells/snt/device.h"
#include "shells/snt/options.h"
#include "shells/snt/plotter.h"
#include "shells/snt/serial_port.h"
#include "shells/snt/sweep_io.h"
#include "sweep_points.h"
#include "temp_dir.h"

namespace snt {
namespace {

using snt_test::sweep_of_db;

// A resonance of quality `q` at `f0`, sampled at `points` from `start` to `stop`.
SweepResult resonance(double f0, double q, double start, double stop, std::uint32_t points)
{
    std::vector<std::pair<std::uint32_t, std::optional<double>>> pts;
    for (std::uint32_t i = 0; i < points; ++i) {
        const double f = start + (stop - start) * i / (points - 1);
        const double x = q * (f / f0 - f0 / f);
        pts.push_back({static_cast<std::uint32_t>(std::lround(f)), -10 * std::log10(1 + x * x)});
    }
    return sweep_of_db(pts);
}

// --- Logarithmic sweeps and the time they take ----------------------------

TEST(SntLogSweep, PointsRiseByAConstantRatioFromStartToStop)
{
    const SweepPlan p = SweepPlan::make_log(20000, 200000000, 5);
    EXPECT_TRUE(p.log);
    EXPECT_EQ(p.frequencies(), (std::vector<std::uint32_t>{20000, 200000, 2000000, 20000000, 200000000}));
    const SweepPlan q = SweepPlan::make_log(1000000, 10000000, 201);
    const auto fs = q.frequencies();
    ASSERT_EQ(fs.size(), 201u);
    EXPECT_EQ(fs.front(), 1000000u);
    EXPECT_EQ(fs.back(), 10000000u);
    for (std::size_t i = 1; i < fs.size(); ++i) {
        ASSERT_GT(fs[i], fs[i - 1]);
        EXPECT_NEAR(static_cast<double>(fs[i]) / fs[i - 1], std::pow(10.0, 1.0 / 200), 1e-5) << i;
    }
}

TEST(SntLogSweep, RefusesWhatCannotBeSpacedByARatio)
{
    EXPECT_THROW(SweepPlan::make_log(1000000, 1000000, 10), InputError);
    EXPECT_THROW(SweepPlan::make_log(2000000, 1000000, 10), InputError);
    EXPECT_THROW(SweepPlan::make_log(1000000, 2000000, 1), InputError);
    EXPECT_THROW(SweepPlan::make_log(20000, 20100, 500), InputError) << "two points on one hertz";
    EXPECT_THROW(SweepPlan::make_log(180000000, 200000000, 10), InputError) << "a fresh plan cannot start there";
    const auto refused = [](const std::vector<std::string> &args) {
        try {
            parse_arguments(args);
        } catch (const InputError &e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_NE(refused({"sweep", "--log", "--start", "1M", "--stop", "2M", "--step", "10k"}).find("--points"),
              std::string::npos);
    const Invocation inv = parse_arguments({"sweep", "--log", "--start", "20k", "--stop", "200M", "--points", "100"});
    EXPECT_TRUE(inv.sweep.plan.log);
    EXPECT_TRUE(inv.sweep.log);
    EXPECT_EQ(inv.sweep.plan.last(), 200000000u);
}

TEST(SntFreshPlan, AStartAboveWhatAFreshPlanReachesIsRefusedWithTheReason)
{
    EXPECT_NO_THROW(SweepPlan::make(175000000, 200000000, 11, std::nullopt));
    try {
        SweepPlan::make(175000001, 200000000, 11, std::nullopt);
        FAIL();
    } catch (const InputError &e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("above 175 MHz"), std::string::npos) << m;
        EXPECT_NE(m.find("fresh plan"), std::string::npos) << m;
    }
}

TEST(SntEstimate, ChargesEachPointAndEachPllReset)
{
    // 1.0 to 1.1 MHz keeps one divider (PLL 700 to 770 MHz): only the first
    // point resets the PLLs.
    SweepPlan narrow = SweepPlan::make(1000000, 1100000, 101, std::nullopt);
    const SweepEstimate a = SweepEstimate::of(narrow);
    EXPECT_EQ(a.points, 101u);
    EXPECT_EQ(a.pll_resets, 1u);
    EXPECT_NEAR(a.seconds, 0.1 + 0.068 + 100 * 0.018, 1e-9);
    EXPECT_EQ(a.text(narrow), "101 points, 1 kHz apart: about 2.0 s on a real tester (1 PLL reset)");

    // A log sweep over four decades needs a new divider again and again.
    const SweepPlan wide = SweepPlan::make_log(20000, 200000000, 200);
    const SweepEstimate b = SweepEstimate::of(wide);
    EXPECT_GT(b.pll_resets, 20u);
    EXPECT_LT(b.pll_resets, 200u);
    EXPECT_NEAR(b.seconds, 0.1 + b.pll_resets * 0.068 + (200 - b.pll_resets) * 0.018, 1e-9);
    EXPECT_NE(b.text(wide).find("each 4.737% above the one before"), std::string::npos) << b.text(wide);

    // The most points a sweep may have: hours, said so.
    const SweepPlan most = SweepPlan::make(1000000, 2000000, 1000000, std::nullopt);
    EXPECT_NE(SweepEstimate::of(most).text(most).find(" h on a real tester"), std::string::npos);
}

// --- The summary's figures ----------------------------------------------

TEST(SntFigures, CentreQAndBandwidthsOfASinglePeak)
{
    // Q 50 at 10 MHz: the points N dB down lie f0 / Q x sqrt(10^(N/10) - 1)
    // apart (3 dB is not quite half power).
    const Summary s = Summary::of(resonance(10e6, 50, 5e6, 20e6, 15001));
    const auto width = [](double n) { return 200e3 * std::sqrt(std::pow(10.0, n / 10) - 1); };
    ASSERT_TRUE(s.bandwidth());
    EXPECT_NEAR(*s.bandwidth(), width(3), 5);
    EXPECT_NEAR(*s.centre(), (*s.lower_3db + *s.upper_3db) / 2, 1e-6);
    EXPECT_NEAR(*s.centre(), 10e6 * std::sqrt(1 + 0.99526 / (4 * 50 * 50)), 5);
    EXPECT_NEAR(*s.q(), *s.centre() / width(3), 0.001);
    ASSERT_TRUE(s.minus6.width());
    EXPECT_NEAR(*s.minus6.width(), width(6), 5);
    // -60 dB would be 200 MHz wide: beyond the sweep, so not given.
    EXPECT_FALSE(s.minus60.width());
    EXPECT_FALSE(s.shape_factor());
    EXPECT_EQ(s.text().find("-60 dB"), std::string::npos) << s.text();
    EXPECT_FALSE(s.finer_sweep()) << "thousands of points in the bandwidth";
    EXPECT_NE(s.text().find("centre 10."), std::string::npos) << s.text();
    EXPECT_NE(s.text().find(", Q 50.12"), std::string::npos) << s.text();
}

TEST(SntFigures, MinusSixtyAndShapeFactorWhereTheSkirtsGoDeepEnough)
{
    // A flat top 1 MHz wide, then 1 dB down per kHz: -6 dB points 1.012 MHz
    // apart, -60 dB points 1.12 MHz apart.
    std::vector<std::pair<std::uint32_t, std::optional<double>>> pts;
    for (int k = 0; k <= 400; ++k) {
        const int f = 9000000 + k * 5000; // 9 to 11 MHz
        const double off = std::abs(f - 10000000) - 500000.0;
        pts.push_back({f, off <= 0 ? 0.0 : -off / 1000.0});
    }
    const Summary s = Summary::of(sweep_of_db(pts));
    ASSERT_TRUE(s.minus6.width());
    ASSERT_TRUE(s.minus60.width());
    EXPECT_NEAR(*s.minus6.width(), 1012000, 1e-6);
    EXPECT_NEAR(*s.minus60.width(), 1120000, 1e-6);
    ASSERT_TRUE(s.shape_factor());
    EXPECT_NEAR(*s.shape_factor(), 1120.0 / 1012.0, 1e-9);
    EXPECT_NE(s.text().find("-60 dB bandwidth: 1.12 MHz, shape factor (60/6 dB) 1.11\n"), std::string::npos)
        << s.text();
}

TEST(SntFigures, ANotchGetsItsDepthAndStopWidth)
{
    std::vector<std::pair<std::uint32_t, std::optional<double>>> pts;
    for (int k = 0; k <= 200; ++k) {
        const double f = 5e6 + k * 50e3;
        const double x = (f / 10e6 - 10e6 / f) * 10; // a notch of Q 10
        pts.push_back({static_cast<std::uint32_t>(f), std::max(10 * std::log10(x * x / (1 + x * x)), -40.0)});
    }
    const Summary s = Summary::of(sweep_of_db(pts));
    ASSERT_TRUE(s.notch) << s.text();
    EXPECT_NEAR(s.notch->frequency, 10e6, 1);
    EXPECT_NEAR(s.notch->depth, 40 + s.max->db, 1e-9);
    ASSERT_TRUE(s.notch->stop.width());
    EXPECT_NEAR(*s.notch->stop.width(), 1e6, 10e3); // -3 dB stop band of a Q 10 notch: f0 / Q
    const std::string t = s.text();
    EXPECT_NE(t.find("notch: "), std::string::npos) << t;
    EXPECT_NE(t.find("-3 dB stop width: "), std::string::npos) << t;
    EXPECT_EQ(t.find("not given"), std::string::npos) << "a notch is not a sweep of several peaks: " << t;

    // A lowpass is no notch: its minimum is at the end.
    EXPECT_FALSE(Summary::of(sweep_of_db({{1, 0.0}, {2, -1.0}, {3, -20.0}, {4, -40.0}})).notch);
}

TEST(SntFigures, LevelsNearTheNoiseFloorAreFlaggedNotTakenForAttenuation)
{
    // The noise floor is about -76 dB of full scale; -70 dB is within 10 dB.
    const Summary deep = Summary::of(sweep_of_db({{1000000, 0.0}, {2000000, -50.0}, {3000000, -70.0}}));
    EXPECT_TRUE(deep.min_near_floor);
    EXPECT_EQ(deep.noisy_points, 1u);
    EXPECT_NE(deep.text().find("within 10 dB of the tester's noise floor"), std::string::npos) << deep.text();
    const Summary fine = Summary::of(sweep_of_db({{1000000, 0.0}, {2000000, -50.0}, {3000000, -60.0}}));
    EXPECT_FALSE(fine.min_near_floor);
    EXPECT_EQ(fine.text().find("noise floor"), std::string::npos);
}

TEST(SntFigures, ACoarseSweepOfAPeakSaysSoAndGivesAFinerOne)
{
    // A crystal's 1.2 kHz bandwidth swept 500 Hz apart: three points.
    const SweepResult coarse = resonance(10e6, 8333, 9.99e6, 10.01e6, 41);
    const Summary s = Summary::of(coarse);
    ASSERT_TRUE(s.bandwidth());
    EXPECT_LT(s.points_in_bandwidth, Summary::kMinPointsInBandwidth);
    ASSERT_TRUE(s.finer_sweep());
    unsigned long start = 0, stop = 0, points = 0;
    ASSERT_EQ(
        std::sscanf(s.finer_sweep()->c_str(), "snt sweep --start %lu --stop %lu --points %lu", &start, &stop, &points),
        3)
        << *s.finer_sweep();
    EXPECT_LT(start, 10e6 - 1200);
    EXPECT_GT(stop, 10e6 + 1200);
    // At least 25 points within the true bandwidth.
    EXPECT_GE(1200.0 / ((stop - start) / (points - 1.0)), 25) << *s.finer_sweep();
    EXPECT_NE(s.text().find("too coarse"), std::string::npos) << s.text();

    const Summary fine = Summary::of(resonance(10e6, 8333, 9.996e6, 10.004e6, 251));
    EXPECT_GE(fine.points_in_bandwidth, Summary::kMinPointsInBandwidth);
    EXPECT_FALSE(fine.finer_sweep());
}

// --- What the plotter puts on a plot ----------------------------------------

std::vector<std::string> labels(const PlotLayout &l)
{
    std::vector<std::string> out;
    for (const auto &t : l.x_ticks) out.push_back(t.label);
    return out;
}

TEST(SntPlotLayout, TickLabelsHaveTheDigitsTheSpanNeeds)
{
    // A crystal's span: every label different, none rounded to "10.00".
    const PlotLayout narrow = PlotLayout::of({{"", resonance(10e6, 8333, 9.998e6, 10.002e6, 201)}}, {});
    EXPECT_EQ(labels(narrow),
              (std::vector<std::string>{"9.9980", "9.9985", "9.9990", "9.9995", "10.0000", "10.0005", "10.0010",
                                        "10.0015", "10.0020"}));
    EXPECT_EQ(narrow.x_label, "frequency (MHz)");

    const PlotLayout wide = PlotLayout::of({{"", resonance(10e6, 10, 5e6, 16e6, 221)}}, {});
    EXPECT_EQ(labels(wide), (std::vector<std::string>{"6", "8", "10", "12", "14", "16"}));

    // 100 Hz at 10 MHz: ticks 20 Hz apart, to the 10 Hz digit.
    const PlotLayout hertz = PlotLayout::of({{"", resonance(10e6, 8333, 9999950, 10000050, 101)}}, {});
    EXPECT_EQ(labels(hertz), (std::vector<std::string>{"9.99996", "9.99998", "10.00000", "10.00002", "10.00004"}));
}

TEST(SntPlotLayout, ALogAxisHasDecadesLabelledWithUnits)
{
    PlotOptions o;
    o.log_x = true;
    const SweepPlan plan = SweepPlan::make_log(20000, 200000000, 50);
    const PlotLayout l = PlotLayout::of({{"", SweepResult(plan, std::vector<std::optional<double>>(50, 1e10))}}, o);
    EXPECT_TRUE(l.log_x);
    EXPECT_EQ(labels(l), (std::vector<std::string>{"100 kHz", "1 MHz", "10 MHz", "100 MHz"}));
    EXPECT_NEAR(l.x_ticks[1].x, 6.0, 1e-12);
    EXPECT_NEAR(l.x0, std::log10(20000), 1e-12);
    EXPECT_NEAR(l.x_of(1e6), 6.0, 1e-12);

    const SweepPlan one = SweepPlan::make_log(1000000, 5000000, 50);
    const PlotLayout m = PlotLayout::of({{"", SweepResult(one, std::vector<std::optional<double>>(50, 1e10))}}, o);
    EXPECT_EQ(labels(m), (std::vector<std::string>{"1 MHz", "1.5 MHz", "2 MHz", "3 MHz", "4 MHz", "5 MHz"}));
}

TEST(SntPlotLayout, MarkersCarryTheMaximumAndTheMinus3dBPoints)
{
    const SweepResult r =
        sweep_of_db({{100, -20.0}, {200, -10.0}, {300, -1.0}, {400, 0.0}, {500, -2.0}, {600, -6.0}, {700, -30.0}});
    const PlotLayout l = PlotLayout::of({{"", r}}, {});
    ASSERT_EQ(l.markers.size(), 3u);
    EXPECT_EQ(l.markers[0].label, "max 0.00 dB at 400 Hz");
    EXPECT_DOUBLE_EQ(l.markers[0].x, 400);
    EXPECT_NEAR(l.markers[1].x, 200 + 700.0 / 9, 1e-9);
    EXPECT_EQ(l.markers[1].label, "277.777778 Hz");
    EXPECT_NEAR(l.markers[2].x, 525, 1e-9);
    ASSERT_TRUE(l.dashed_db);
    EXPECT_DOUBLE_EQ(*l.dashed_db, -3);
    ASSERT_FALSE(l.legend.empty());
    EXPECT_EQ(l.legend[0], "-3 dB bandwidth 247.222222 Hz");
    EXPECT_EQ(l.legend[1].rfind("centre 401.388889 Hz, Q 1.62", 0), 0u) << l.legend[1];
    EXPECT_TRUE(l.empty_note.empty());
    // The legend's box stays clear of every marker.
    for (const auto &m : l.markers) {
        const bool inside = m.x >= l.box_left && m.x <= l.box_right && m.db >= l.box_bottom && m.db <= l.box_top;
        EXPECT_FALSE(inside) << m.label;
    }

    // Several peaks: no -3 dB markers, no dashed line.
    const PlotLayout two =
        PlotLayout::of({{"", sweep_of_db({{1, -20.0}, {2, 0.0}, {3, -20.0}, {4, -1.0}, {5, -20.0}})}}, {});
    EXPECT_EQ(two.markers.size(), 1u);
    EXPECT_FALSE(two.dashed_db);
}

TEST(SntPlotLayout, YLimitsAreKeptAndAnEmptyPlotSaysSo)
{
    PlotOptions o;
    o.ylim = parse_ylim("-80:10");
    const PlotLayout l = PlotLayout::of({{"", sweep_of_db({{1000, -3.0}, {2000, -5.0}})}}, o);
    EXPECT_DOUBLE_EQ(l.y0, -80);
    EXPECT_DOUBLE_EQ(l.y1, 10);
    EXPECT_DOUBLE_EQ(l.y_step, 10);

    const PlotLayout empty = PlotLayout::of({{"", sweep_of_db({{1000, std::nullopt}, {2000, std::nullopt}})}}, {});
    EXPECT_NE(empty.empty_note.find("every point is a gap"), std::string::npos);
    EXPECT_TRUE(empty.markers.empty());

    EXPECT_EQ(parse_ylim("+5:20.5"), (std::pair<double, double>{5, 20.5}));
    for (const char *bad : {"", "10", "10:-80", "5:5", "a:b", "-80:", ":10", "-80:10:20", "nan:1", "-inf:0"})
        EXPECT_THROW(parse_ylim(bad), InputError) << bad;
}

TEST(SntPlotLayout, SeveralTracesGetALegendAndNoMarkers)
{
    const PlotLayout l = PlotLayout::of({{"thru.csv", sweep_of_db({{1000, 0.0}, {2000, -1.0}})},
                                         {"bp.csv", sweep_of_db({{1000, -10.0}, {2000, -3.0}})}},
                                        {});
    EXPECT_EQ(l.legend, (std::vector<std::string>{"thru.csv", "bp.csv"}));
    EXPECT_TRUE(l.markers.empty());
    EXPECT_DOUBLE_EQ(l.y0, -20);
    EXPECT_DOUBLE_EQ(l.y1, 10);
}

TEST(SntPlotter, TheTitleGivesStartAndStopToTheHertz)
{
    SweepPlan p;
    p.start = 10001000;
    p.step = 10;
    p.points = 101;
    const SweepResult r(p, std::vector<std::optional<double>>(101, 1e10));
    EXPECT_EQ(Plotter::title(r, "crystal:10M:50000"), "snt sweep 10.001\u201310.002 MHz, crystal:10M:50000");
    p.start = 10001234;
    EXPECT_EQ(Plotter::title(SweepResult(p, std::vector<std::optional<double>>(2, 1e10)), ""),
              "snt sweep 10.001234\u201310.001244 MHz");
    const SweepPlan log = SweepPlan::make_log(20000, 200000000, 3);
    EXPECT_EQ(Plotter::title(SweepResult(log, std::vector<std::optional<double>>(3, 1e10)), ""),
              "snt sweep 20 kHz \u2013 200 MHz");
}

// --- Records and saved sweeps ---------------------------------------------

TEST(SntRecord, SaysWhenAndHowASweepWasMade)
{
    SweepRecord r;
    r.created = "2026-12-08T01:10:53Z";
    r.command = {"snt", "--dut", "crystal:10M:50000", "sweep", "--csv", "a \"b\".csv"};
    r.device = "/dev/ttyUSB0";
    r.identification = ID_TEXT;
    r.crystal = 25000123;
    r.reference = "thru.csv";
    r.plan = SweepPlan::make(1000000, 2000000, 11, std::nullopt);
    r.measured = 11;
    const std::string j = r.json();
    EXPECT_NE(j.find("\"created\": \"2026-12-08T01:10:53Z\",\n"), std::string::npos) << j;
    EXPECT_NE(j.find("\"command\": [\"snt\", \"--dut\", \"crystal:10M:50000\", \"sweep\", \"--csv\", "
                     "\"a \\\"b\\\".csv\"],\n"),
              std::string::npos)
        << j;
    EXPECT_NE(j.find("\"crystal_hz\": 25000123,\n"), std::string::npos) << j;
    EXPECT_NE(j.find("\"reference\": \"thru.csv\",\n"), std::string::npos) << j;
    EXPECT_NE(j.find("\"step_hz\": 100000,\n"), std::string::npos) << j;
    EXPECT_NE(j.find("\"partial\": false,\n"), std::string::npos) << j;
    EXPECT_EQ(j.front(), '{');
    EXPECT_EQ(j.substr(j.size() - 2), "}\n");

    EXPECT_EQ(json_string(std::string("a\0\n\x85", 4)), "\"a\\u0000\\u000a\\u0085\"");
    EXPECT_EQ(record_path("out/sweep.csv"), "out/sweep.csv.json");
    const snt_test::TempDir dir("snt_figures");
    EXPECT_TRUE(gets_record(dir / "new.csv"));
    EXPECT_FALSE(gets_record("/dev/null"));
    const auto now = now_utc();
    EXPECT_EQ(now.size(), 20u);
    EXPECT_EQ(now.back(), 'Z');
}

TEST(SntSavedSweep, KeepsItsDecibelsAndSkipsCommentLines)
{
    const snt_test::TempDir dir("snt_figures");
    const std::string path = dir / "saved.csv";
    std::ofstream(path) << "frequency_hz,level,db\n"
                           "# a comment, as pandas' read_csv(comment='#') skips it\n"
                           "1000000,368640000.00,-3.500\n"
                           "2000000,,\n"
                           "3000000,0.00,\n";
    const SweepResult r = read_sweep_csv(path, SweepCsv::Saved);
    ASSERT_EQ(r.points().size(), 3u);
    EXPECT_DOUBLE_EQ(*r.points()[0].db, -3.5) << "the file's dB, not recomputed against full scale";
    EXPECT_FALSE(r.points()[1].level);
    EXPECT_DOUBLE_EQ(*r.points()[2].level, 0.0);
    EXPECT_FALSE(r.points()[2].db);
    // As a reference, the level 0 is still refused, the comment still skipped.
    EXPECT_THROW(read_sweep_csv(path, SweepCsv::Reference), InputError);
    std::ofstream(path) << "frequency_hz,level,db\n# made by snt\n1000000,5.0,\n";
    EXPECT_EQ(read_sweep_csv(path, SweepCsv::Reference).points().size(), 1u);
}

// --- Confirming `x` on a tester whose receiver overran ----------------------

Timing quick()
{
    Timing t;
    t.identify = std::chrono::milliseconds(1000);
    t.greeting = std::chrono::milliseconds(1500);
    t.settle = std::chrono::milliseconds(100);
    t.silent_command = std::chrono::milliseconds(300);
    t.flash_write = std::chrono::milliseconds(0);
    return t;
}

// Answers as the firmware does, but loses the first `lost` identification
// requests after each `x` (the chip was writing its flash).
snt_test::FakeTester::Answer losing_after_x(int lost)
{
    auto left = std::make_shared<int>(0);
    return [left, lost](const std::string &line) {
        if (line.rfind("x ", 0) == 0) {
            *left = lost;
            return std::string();
        }
        if (line == "w" && *left > 0) {
            --*left;
            return std::string();
        }
        return snt_test::FakeTester::firmware(line);
    };
}

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(SntCrystalStore, ALostConfirmationIsAskedForOnceMore)
{
    snt_test::FakeTester tester;
    tester.start(losing_after_x(1));
    SerialPort port(tester.port());
    Device device(port, quick());
    EXPECT_NO_THROW(device.set_crystal(25000123));
    EXPECT_EQ(count(tester.received(), "x 25000123\rw\rw\r"), 1) << in_quotes(tester.received());
}

TEST(SntCrystalStore, TwoLostConfirmationsAreAFailureThatSaysSo)
{
    snt_test::FakeTester tester;
    tester.start(losing_after_x(2));
    SerialPort port(tester.port());
    Device device(port, quick());
    try {
        device.set_crystal(25000123);
        FAIL() << "a tester that never confirmed was taken";
    } catch (const PortError &e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("after \"x 25000123\" (asked 2 times)"), std::string::npos) << m;
    }
    EXPECT_EQ(tester.received(), "w\rx 25000123\rw\rw\r") << "the greeting's `w`, then two after x";
}

TEST(SntCrystalStore, OtherSilentCommandsAreNotRepeated)
{
    snt_test::FakeTester tester;
    tester.start(losing_after_x(1));
    SerialPort port(tester.port());
    Device device(port, quick());
    device.set_frequency(7000000);
    EXPECT_EQ(tester.received(), "w\rf 7000000\rw\r");
}

} // namespace
} // namespace snt
