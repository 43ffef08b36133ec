// The adaptive search for a crystal's parameters, as a planner that makes
// no I/O: it proposes a sweep, is fed the tester's levels for it, proposes
// the next, and ends with the parameters (crystal.h) or the reason there
// are none. Whoever owns the tester runs the sweeps.
//
// The sweeps:
// 1. coarse: 25 points over the nominal frequency +- search_ppm; its
//    highest point lies within half a step of fs. A peak at either end
//    moves the window on (twice at most); a response flatter than 6 dB
//    widens it four times (twice at most: a crystal of low loaded Q, whose
//    bandwidth is wider than the window).
// 2. fine: 31 points over three -3 dB bandwidths around the parabola's fs
//    (crystal.h); fitted with C0 as a fourth unknown, which also predicts
//    fp. Repeated (twice at most) while fs or the bandwidth moves much.
// 3. when asked for the parallel resonance: 21 points over +-20 % of the
//    predicted fp - fs around fp; where the notch is not inside them, a
//    log sweep of 30 points over C0 from 20 pF down to 0.5 pF finds it
//    first. C0 then follows from fp.
// Each sweep's time on a real tester is SweepEstimate's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/analysis/crystal.h"
#include "core/analysis/sweep.h"

namespace snt {

struct CrystalSearchOptions {
    double nominal_hz = 0;
    // Source and load resistance of the fixture, ohms.
    double fixture_ohms = 50;
    // Also find the parallel resonance (and from it C0).
    bool parallel = false;
    // The level the fixture's thru reads (the crystal's place shorted): dB
    // are against it. The full-scale level is what a thru reads on the
    // virtual board.
    double reference_level = kFullScaleLevel;
    // The coarse sweep covers the nominal frequency +- this.
    double search_ppm = 200;
};

class CrystalSearch {
public:
    // InputError for a nominal frequency the tester cannot sweep around, a
    // fixture resistance or reference level that is not a number above 0,
    // or a search wider than 10 % each way.
    explicit CrystalSearch(const CrystalSearchOptions &options);

    // The sweep to make next; nullopt when the search is over.
    std::optional<SweepPlan> next_sweep() const;
    // What that sweep is for, for a progress line ("coarse sweep for fs").
    std::string stage_text() const;
    // The tester's levels for next_sweep(), in its order (`*` as nullopt).
    // std::logic_error when the search is over or the count differs.
    void feed(const std::vector<std::optional<double>> &levels);

    bool done() const { return stage_ == Stage::Done; }
    // The parameters, once done; nullopt when the search failed.
    const std::optional<CrystalParameters> &result() const { return result_; }
    // Why the search failed, or what it could not measure (an fp not found).
    const std::vector<std::string> &notes() const { return notes_; }

    // Sweeps and points fed so far, and their time on a real tester.
    std::uint32_t sweeps() const { return sweeps_; }
    std::uint32_t points() const { return points_; }
    double device_seconds() const { return seconds_; }

private:
    enum class Stage { Coarse, Fine, ParallelFine, ParallelLog, Done };

    void plan_coarse(double centre, double half_width);
    void after_coarse();
    void after_fine();
    void plan_parallel_fine(double fp);
    void plan_parallel_log();
    void after_parallel(bool log_sweep);
    void finish(std::optional<std::string> failure = std::nullopt);
    std::vector<CrystalReading> series_readings() const;
    // Plans a sweep, or ends the search when the tester cannot make it.
    bool plan(double start, double stop, std::uint32_t points, bool log);

    CrystalSearchOptions options_;
    Stage stage_ = Stage::Coarse;
    SweepPlan plan_;
    std::vector<CrystalReading> coarse_, fine_, parallel_, last_;
    int coarse_moves_ = 0, coarse_widenings_ = 0, fine_rounds_ = 0;
    double coarse_half_ = 0;
    bool parallel_log_done_ = false;
    CrystalModel model_;
    std::optional<CrystalParameters> result_;
    std::vector<std::string> notes_;
    std::uint32_t sweeps_ = 0, points_ = 0;
    double seconds_ = 0;
};

} // namespace snt
