// The bench jobs' analysis on made-up data: averages, markers, overload,
// return loss and SWR, the crystal fit and search against the model, CSV
// rows and batch matching.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "core/analysis/average.h"
#include "core/analysis/crystal_match.h"
#include "core/analysis/crystal_search.h"
#include "core/analysis/frequency.h"
#include "core/analysis/markers.h"
#include "core/analysis/overload.h"
#include "core/analysis/reflection.h"

namespace snt_test {
namespace {

using Levels = std::vector<std::optional<double>>;
constexpr double kPi = 3.14159265358979323846;

// The message of the InputError `f` throws, or "" when it throws none.
template <typename F>
std::string refusal(F f)
{
    try {
        f();
    } catch (const snt::InputError &e) {
        return e.what();
    }
    return "";
}

TEST(SweepAverage, MeansPowerOverTheSweepsThatMeasuredEachPoint)
{
    snt::SweepAverage average(4);
    average.add({100.0, std::nullopt, 10.0, std::nullopt});
    average.add({300.0, 50.0, 1000.0, std::nullopt});
    average.add({200.0, std::nullopt, -1.0}); // cut short; a negative level counts as a gap
    const Levels levels = average.levels();
    EXPECT_EQ(average.sweeps(), 3u);
    EXPECT_EQ(levels[0], 200.0);
    EXPECT_EQ(levels[1], 50.0) << "the one sweep that measured it";
    EXPECT_EQ(levels[2], 505.0) << "the mean power, not the mean of 10 and 30 dB";
    EXPECT_EQ(levels[3], std::nullopt) << "no sweep measured it";
    EXPECT_EQ(average.counts(), (std::vector<std::uint32_t>{3, 1, 2, 0}));
    EXPECT_THROW(average.add(Levels(5, 1.0)), std::invalid_argument);
}

std::vector<snt::SweepPoint> made_up_sweep()
{
    // dB: -10 at 1 MHz, -20 at 2 MHz, a gap at 3 MHz, -40 at 4 MHz, -30 at 5 MHz.
    return {{1000000, 1.0, -10.0},
            {2000000, 1.0, -20.0},
            {3000000, std::nullopt, std::nullopt},
            {4000000, 1.0, -40.0},
            {5000000, 1.0, -30.0}};
}

TEST(Markers, InterpolateInDecibelsAndRefuseOutsideOrAtAGap)
{
    const auto points = made_up_sweep();
    const std::pair<double, double> reads[] = {{1e6, -10}, {1.25e6, -12.5}, {2e6, -20},
                                               {4e6, -40}, {4.5e6, -35},    {5e6, -30}};
    for (const auto &[hz, db] : reads) EXPECT_NEAR(snt::read_marker(points, hz).db, db, 1e-12) << hz;
    const std::pair<double, const char *> refused[] = {
        {0.5e6, "is outside the sweep (1 MHz to 5 MHz)"},
        {5.001e6, "is outside the sweep"},
        {2.5e6, "no level at 3 MHz, next to it"},
        {3e6, "no level at 3 MHz"},
        {3.5e6, "no level at 3 MHz"},
        {NAN, "outside the sweep"},
    };
    for (const auto &r : refused) {
        const double hz = r.first;
        EXPECT_NE(refusal([&] { snt::read_marker(points, hz); }).find(r.second), std::string::npos) << hz;
    }
    // On a log sweep, halfway in log frequency is halfway in dB.
    const std::vector<snt::SweepPoint> log_points{{1000000, 1.0, 0.0}, {100000000, 1.0, -40.0}};
    EXPECT_NEAR(snt::read_marker(log_points, 10e6, true).db, -20, 1e-9);

    const auto a = snt::read_marker(points, 1.25e6), b = snt::read_marker(points, 4.5e6);
    const auto d = snt::marker_delta(a, b);
    EXPECT_EQ(snt::marker_text(a), "-12.50 dB at 1.25 MHz");
    EXPECT_EQ(snt::marker_delta_text(d), "+3.25 MHz, -22.50 dB");
    EXPECT_EQ(snt::marker_delta_text(snt::marker_delta(b, a)), "-3.25 MHz, +22.50 dB");
}

TEST(Overload, OffsetAddedAndClippedPointsTakenOut)
{
    const double clip = snt::kOverloadLevel;
    EXPECT_NEAR(10 * std::log10(clip / snt::kFullScaleLevel), 2.70, 0.005);
    const snt::SweepResult sweep(std::vector<snt::SweepPoint>{{1000000, clip * 0.999, 2.6},
                                                              {2000000, clip, 2.7},
                                                              {3000000, clip * 1.5, 4.4},
                                                              {4000000, std::nullopt, std::nullopt}});
    const snt::CheckedSweep checked = snt::check_levels(sweep, 20);
    EXPECT_EQ(checked.overload, (std::vector<bool>{false, true, true, false}));
    EXPECT_EQ(checked.result.points()[0].db, 22.6);
    EXPECT_EQ(checked.result.points()[1].db, std::nullopt);
    EXPECT_EQ(checked.at_least_db[2], 24.4);
    EXPECT_EQ(checked.overloaded(), 2u);
    EXPECT_EQ(*checked.overload_text(),
              "overload: 2 points from 2 MHz to 3 MHz, the tone clipped at the ADC: the gain there is at least "
              "+22.70 dB, not measured; put an attenuator ahead of the device and give its loss as the offset");
    EXPECT_FALSE(snt::check_levels(snt::SweepResult(std::vector<snt::SweepPoint>{sweep.points()[0]})).overload_text());
    // Each point's readout; one that read no dB (its reference point missing) says so.
    EXPECT_EQ(checked.point_text(2), "overload at 3 MHz (at least +24.40 dB)");
    const snt::CheckedSweep undb =
        snt::check_levels(snt::SweepResult(std::vector<snt::SweepPoint>{{5000000, clip, {}}}));
    EXPECT_EQ(undb.point_text(0), "overload at 5 MHz (above the detector's range)");
}

// A normalised sweep whose points have the given SWR (0: a gap).
snt::SweepResult with_swr(const std::vector<double> &swr)
{
    std::vector<snt::SweepPoint> points;
    for (std::size_t i = 0; i < swr.size(); ++i) {
        const auto f = static_cast<std::uint32_t>(1000000 + 100000 * i);
        if (swr[i] == 0) {
            points.push_back({f, std::nullopt, std::nullopt});
            continue;
        }
        const double g = (swr[i] - 1) / (swr[i] + 1);
        points.push_back({f, 1.0, 20 * std::log10(g)});
    }
    return snt::SweepResult(points);
}

TEST(Reflection, ReturnLossSwrBestMatchAndBand)
{
    EXPECT_NEAR(*snt::swr_of_return_loss(snt::return_loss_of_swr(1.5)), 1.5, 1e-12);
    EXPECT_NEAR(snt::return_loss_of_swr(2), 9.542, 0.001);
    EXPECT_FALSE(snt::swr_of_return_loss(0));

    const snt::Reflection r = snt::Reflection::of(with_swr({5, 3, 1.5, 1.2, 1.8, 3, 4}));
    ASSERT_TRUE(r.best && r.band);
    EXPECT_EQ(*r.best, 3u);
    EXPECT_NEAR(*r.points[2].swr, 1.5, 1e-9);
    EXPECT_NEAR(*r.points[2].rl_db, 13.979, 0.001);
    // The SWR 2 edges, interpolated in return loss between 3 and 1.5, and 1.8 and 3.
    const double rl2 = snt::return_loss_of_swr(2), rl3 = snt::return_loss_of_swr(3);
    const double rl15 = snt::return_loss_of_swr(1.5), rl18 = snt::return_loss_of_swr(1.8);
    EXPECT_NEAR(r.band->lower, 1.2e6 - 1e5 * (rl15 - rl2) / (rl15 - rl3), 1e-6);
    EXPECT_NEAR(r.band->upper, 1.4e6 + 1e5 * (rl18 - rl2) / (rl18 - rl3), 1e-6);
    EXPECT_FALSE(r.band->lower_open || r.band->upper_open);
    EXPECT_EQ(r.text().substr(0, 57), "best match: SWR 1.20, return loss 20.83 dB at 1.3 MHz\nSWR");

    const snt::Reflection open_band = snt::Reflection::of(with_swr({1.1, 1.4, 0, 1.9, 3}), 1.5);
    ASSERT_TRUE(open_band.band);
    EXPECT_TRUE(open_band.band->lower_open) << "the sweep's start";
    EXPECT_TRUE(open_band.band->upper_open) << "a gap";
    EXPECT_EQ(open_band.band->upper, 1.1e6);
    EXPECT_FALSE(snt::Reflection::of(with_swr({3, 2.5}), 2).band);
    EXPECT_NE(snt::Reflection::of(with_swr({3, 2.5}), 2).text().find("SWR below 2: nowhere"), std::string::npos);
    EXPECT_NE(refusal([] { snt::Reflection::of(with_swr({2}), 1); }).find("must be a number above 1"),
              std::string::npos);

    // A load that reflects all (the reference itself) has no finite SWR.
    const std::vector<snt::SweepPoint> reference_itself{{1000000, 4.0, 0.5}, {1100000, std::nullopt, std::nullopt}};
    EXPECT_EQ(snt::Reflection::of(snt::SweepResult(reference_itself)).csv(),
              "frequency_hz,level,db,rl_db,swr\n1000000,4.00,0.500,-0.500,\n1100000,,,,\n");
}

// Readings of the model itself, as a tester with no noise would give them.
struct ModelTester {
    snt::CrystalModel crystal;
    double fixture;
    Levels sweep(const snt::SweepPlan &plan) const
    {
        Levels levels;
        for (std::uint32_t f : plan.frequencies()) {
            levels.push_back(snt::kFullScaleLevel * std::pow(10.0, crystal.db(f, fixture) / 10));
        }
        return levels;
    }
};

snt::CrystalModel board_crystal(double fs, double q)
{
    const double lm = q * 20 / (2 * kPi * fs);
    return {fs, 20, lm, 4e-12};
}

struct SearchCase {
    double fs, q, fixture, nominal;
    bool parallel;
};

class CrystalSearchOnModel : public ::testing::TestWithParam<SearchCase> {};

TEST_P(CrystalSearchOnModel, FindsTheModelsParameters)
{
    const SearchCase c = GetParam();
    const ModelTester tester{board_crystal(c.fs, c.q), c.fixture};
    snt::CrystalSearchOptions options;
    options.nominal_hz = c.nominal;
    options.fixture_ohms = c.fixture;
    options.parallel = c.parallel;
    snt::CrystalSearch search(options);
    while (const auto plan = search.next_sweep()) search.feed(tester.sweep(*plan));
    ASSERT_TRUE(search.result()) << search.notes().front();
    const snt::CrystalParameters &p = *search.result();
    const snt::CrystalModel &m = tester.crystal;
    EXPECT_NEAR(p.fs_hz, m.fs, 0.05);
    EXPECT_NEAR(p.rm_ohm / m.rm, 1, 1e-3);
    EXPECT_NEAR(p.lm_h / m.lm, 1, 1e-3);
    EXPECT_NEAR(p.qu / c.q, 1, 1e-3);
    // Loaded Q: the peak's frequency over the fitted -3 dB bandwidth.
    EXPECT_NEAR(p.ql, 2 * kPi * m.fs * m.lm / (2 * c.fixture + m.rm), 0.01 * p.ql);
    EXPECT_NEAR(p.peak_db, 20 * std::log10(2 * c.fixture / (2 * c.fixture + m.rm)), 0.01);
    EXPECT_EQ(p.c0_f.has_value(), c.parallel);
    if (c.parallel) {
        EXPECT_NEAR(*p.c0_f / m.c0, 1, 0.01);
        EXPECT_NEAR(*p.fp_hz, m.fs * std::sqrt(1 + m.cm() / m.c0), 0.01 * (*p.fp_hz - m.fs));
    }
    EXPECT_LE(search.device_seconds(), 5.0);
}

INSTANTIATE_TEST_SUITE_P(Crystals, CrystalSearchOnModel,
                         ::testing::Values(SearchCase{10e6, 50000, 50, 10e6, true},
                                           SearchCase{10e6, 50000, 12.5, 10.0015e6, true},
                                           SearchCase{27e6, 30000, 50, 27e6, true},
                                           SearchCase{4.9152e6, 100000, 12.5, 4.9152e6, false},
                                           SearchCase{100e3, 20000, 50, 100e3, true}));

TEST(CrystalSearch, RefusesAndFails)
{
    const auto refused = [](snt::CrystalSearchOptions o) { return refusal([&] { snt::CrystalSearch s(o); }); };
    snt::CrystalSearchOptions o;
    o.nominal_hz = 10e3;
    EXPECT_NE(refused(o).find("nominal frequency 10 kHz: must be from"), std::string::npos);
    o.nominal_hz = 10e6;
    o.fixture_ohms = 0;
    EXPECT_NE(refused(o).find("fixture resistance"), std::string::npos);
    o.fixture_ohms = 50;
    o.search_ppm = 2e5;
    EXPECT_NE(refused(o).find("search width"), std::string::npos);
    o.search_ppm = 200;

    // Nothing connected: a flat floor, however wide the window grows.
    snt::CrystalSearch flat(o);
    while (const auto plan = flat.next_sweep()) flat.feed(Levels(plan->points, 1000.0));
    EXPECT_EQ(flat.sweeps(), 3u);
    ASSERT_FALSE(flat.result());
    ASSERT_EQ(flat.notes().size(), 1u);
    EXPECT_NE(flat.notes().front().find("no resonance from 9.968"), std::string::npos) << flat.notes().front();

    // A crystal just beyond the window: it moves on and finds it.
    const ModelTester beyond{board_crystal(10.003e6, 50000), 50};
    snt::CrystalSearch moved(o);
    while (const auto plan = moved.next_sweep()) moved.feed(beyond.sweep(*plan));
    ASSERT_TRUE(moved.result());
    EXPECT_NEAR(moved.result()->fs_hz, 10.003e6, 0.05);
    // One far beyond: the skirt alone is too flat even in the widest window.
    const ModelTester far{board_crystal(10.1e6, 50000), 50};
    snt::CrystalSearch lost(o);
    while (const auto plan = lost.next_sweep()) lost.feed(far.sweep(*plan));
    EXPECT_FALSE(lost.result());
    EXPECT_NE(lost.notes().front().find("no resonance"), std::string::npos) << lost.notes().front();
    EXPECT_THROW(lost.feed({}), std::logic_error);

    snt::CrystalSearch wrong(o);
    EXPECT_THROW(wrong.feed(Levels(3, 1.0)), std::logic_error);
}

TEST(CrystalParameters, CsvRow)
{
    snt::CrystalParameters p;
    p.fs_hz = 9999999.8766;
    p.rm_ohm = 20.01234;
    p.lm_h = 0.0159155;
    p.cm_f = 1.59155e-14;
    p.qu = 49987.4;
    p.ql = 8331.6;
    EXPECT_EQ(p.csv_row("X1"), "X1,9999999.877,,20.0123,1.591550e-02,1.591550e-14,,49987,8332");
    p.fp_hz = 10019874.6;
    p.c0_f = 4.01e-12;
    EXPECT_EQ(p.csv_row("batch 2, \"A\""),
              "\"batch 2, \"\"A\"\"\",9999999.877,10019874.600,20.0123,1.591550e-02,1.591550e-14,4.010000e-12,49987,"
              "8332");
    EXPECT_EQ(std::string(snt::kCrystalCsvHeader), "label,fs_hz,fp_hz,rm_ohm,lm_h,cm_f,c0_f,qu,ql");
}

TEST(CrystalFit, EstimateNeedsAPeakInside)
{
    const snt::CrystalModel m = board_crystal(10e6, 50000);
    std::vector<snt::CrystalReading> rising;
    for (double f = 9.999e6; f < 9.9999e6; f += 100) rising.push_back({f, m.db(f, 50)});
    EXPECT_FALSE(snt::estimate_series(rising, 50)) << "the highest point at the end";
    std::vector<snt::CrystalReading> around;
    for (double f = 9.9995e6; f <= 10.0005e6; f += 250) around.push_back({f, m.db(f, 50)});
    const auto e = snt::estimate_series(around, 50);
    ASSERT_TRUE(e);
    // Without C0 the parabola is exact; C0 moves it by tens of hertz.
    EXPECT_NEAR(e->fs, 10e6, 100);
    EXPECT_NEAR(e->rm, 20, 1);
    const snt::CrystalModel fitted = snt::fit_series(around, 50, *e, true);
    EXPECT_NEAR(fitted.fs, 10e6, 0.01);
    EXPECT_NEAR(fitted.c0 / m.c0, 1, 1e-3);
}

struct MatchCase {
    std::vector<double> fs;
    double tolerance;
    std::vector<std::vector<std::size_t>> groups;
};

TEST(MatchCrystals, GroupsLargestFirstListedBestMatchedFirst)
{
    const MatchCase cases[] = {
        {{10, 12, 30, 31}, 5, {{2, 3}, {0, 1}}},
        {{0, 4, 8, 12}, 5, {{0, 1}, {2, 3}}},
        {{0, 3, 6, 7, 100}, 6, {{1, 2, 3}}} /* the largest window, not the first; 0 and 100 left */,
        {{5, 1, 3}, 10, {{1, 2, 0}}},
        {{1, 20, 40}, 5, {}},
        {{7, 7}, 0, {{0, 1}}},
        {{}, 5, {}},
    };
    for (const MatchCase &c : cases) {
        const auto groups = snt::match_crystals(c.fs, c.tolerance);
        std::vector<std::vector<std::size_t>> members;
        members.reserve(groups.size());
        for (const auto &g : groups) members.push_back(g.members);
        EXPECT_EQ(members, c.groups) << c.fs.size() << " crystals, tolerance " << c.tolerance;
    }
    EXPECT_NE(refusal([] { snt::match_crystals({1, 2}, -1); }).find("match tolerance"), std::string::npos);
    const std::vector<double> fs{10000000.5, 10000002.5, 10000030};
    EXPECT_EQ(snt::match_text(snt::match_crystals(fs, 5), {"A", "B", "C"}, fs, 5),
              "group 1: 2 within 2.00 Hz: A 10000000.50 Hz, B 10000002.50 Hz\nmatched with none: C 10000030.00 Hz\n");
}

} // namespace
} // namespace snt_test
