// The crystal search against fine uniform sweeps on the virtual board: the
// errors of each in fs, Rm, Lm, Cm and C0, and its time on a real tester.
// The crystal is the board's (R1 = 20 ohm, C0 = 4 pF, between 50 ohm).
//
//   build/bench/bin/crystal_bench [FS [Q]]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "board/bench/bench_dut_text.h"
#include "board/board.h"
#include "board_sweeper.h"
#include "core/analysis/crystal_search.h"
#include "shells/sim/sim_board.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Truth {
    double fs, lm, cm;
};

void print(const char *what, const std::optional<snt::CrystalParameters> &p, const Truth &t, std::uint32_t points,
           double seconds)
{
    if (!p) {
        std::printf("%-34s no result\n", what);
        return;
    }
    std::printf("%-34s %5u points %6.2f s   fs %+7.3f Hz  Rm %+6.2f %%  Lm %+6.2f %%  Cm %+6.2f %%  C0 %+6.2f %%\n",
                what, points, seconds, p->fs_hz - t.fs, 100 * (p->rm_ohm / sim::kCrystalR1Ohms - 1),
                100 * (p->lm_h / t.lm - 1), 100 * (p->cm_f / t.cm - 1),
                p->c0_f ? 100 * (*p->c0_f / sim::kCrystalC0Farads - 1) : NAN);
}

int run(int argc, char **argv)
{
    const double fs = argc > 1 ? std::atof(argv[1]) : 10e6, q = argc > 2 ? std::atof(argv[2]) : 50000;
    const double lm = q * sim::kCrystalR1Ohms / (2 * kPi * fs);
    const Truth truth{fs, lm, 1 / (std::pow(2 * kPi * fs, 2) * lm)};
    sim::SimBoard board;
    if (!board.run_until_idle(sim::kCoreHz)) return 1;
    board.analog().set_dut(sim::make_crystal(fs, q));
    snt_test::BoardSweeper sweeper(board);

    snt::CrystalSearchOptions options;
    options.nominal_hz = fs;
    options.parallel = true;
    snt::CrystalSearch search(options);
    while (const auto plan = search.next_sweep()) search.feed(sweeper.sweep(*plan));
    print("adaptive search (fs and fp)", search.result(), truth, search.points(), search.device_seconds());

    // Uniform sweeps over the coarse window and up past fp (C0 down to 2 pF).
    const double fp_max = fs * std::sqrt(1 + truth.cm / 2e-12);
    const double start = fs * (1 - 200e-6), stop = fp_max + fs * 200e-6;
    for (double step : {120.0, 30.0, 10.0, 3.0}) {
        snt::SweepPlan plan;
        plan.start = static_cast<std::uint32_t>(start);
        plan.step = static_cast<std::uint32_t>(step);
        plan.points = static_cast<std::uint32_t>((stop - start) / step) + 1;
        const auto levels = sweeper.sweep(plan);
        std::vector<snt::CrystalReading> readings;
        for (std::uint32_t i = 0; i < plan.points; ++i) {
            if (levels[i] && *levels[i] > 0)
                readings.push_back(
                    {static_cast<double>(plan.frequency(i)), 10 * std::log10(*levels[i] / snt::kFullScaleLevel)});
        }
        const std::string what = "uniform, " + std::to_string(static_cast<int>(step)) + " Hz steps";
        print(what.c_str(), snt::analyse_crystal_sweep(readings, 50, true), truth, plan.points,
              snt::SweepEstimate::of(plan).seconds);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "crystal_bench: %s\n", e.what());
        return 1;
    }
}
