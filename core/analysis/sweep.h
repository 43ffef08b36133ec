// What a sweep asks for and what it gives: points, levels, decibels, CSV.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol.h"

namespace snt {

// The level a thru gives on the virtual board. Without --ref, dB are
// relative to this level, so a thru reads about 0 dB.
constexpr double kFullScaleLevel = FULL_SCALE_LEVEL;

// The frequencies the firmware can be asked for.
constexpr std::uint32_t kMinFrequency = FREQ_MIN;
constexpr std::uint32_t kMaxFrequency = FREQ_MAX;
// The crystal frequencies `x` accepts.
constexpr std::uint32_t kMinCrystal = XTAL_MIN;
constexpr std::uint32_t kMaxCrystal = XTAL_MAX;

// The most points one sweep may have (about 5.5 hours at 20 ms a point).
constexpr std::uint32_t kMaxPoints = 1000000;

// The highest frequency the synthesizer reaches on a fresh plan (its PLL
// at 700 MHz divided by 4); a sweep gets up to kMaxFrequency only by
// stepping up from below it.
constexpr std::uint32_t kMaxFreshFrequency = 175000000;

// Start, step and number of points, checked against what the device can do;
// or, for a logarithmic sweep, start, stop and number of points spaced by a
// constant ratio (each rounded to a whole hertz).
struct SweepPlan {
    std::uint32_t start = 0;
    std::uint32_t step = 1;
    std::uint32_t points = 1;
    bool log = false;
    std::uint32_t stop = 0; // log sweeps: the last point

    std::uint32_t frequency(std::uint32_t i) const;
    std::uint32_t last() const { return frequency(points - 1); }
    std::vector<std::uint32_t> frequencies() const;

    // From --start/--stop and exactly one of --points/--step. With
    // --points the step is the span divided evenly, rounded to a whole
    // hertz; with --step, as many points as fit up to --stop. Throws
    // InputError on anything the device could not do.
    static SweepPlan make(std::uint32_t start, std::uint32_t stop, std::optional<std::uint32_t> points,
                          std::optional<std::uint32_t> step);
    // `points` from start to stop, each the same ratio above the one before.
    // InputError when two would round to the same hertz.
    static SweepPlan make_log(std::uint32_t start, std::uint32_t stop, std::uint32_t points);
};

// What a sweep costs on a real tester: about 18 ms a point, 68 ms where
// the synthesizer's PLL must be reset (a new divider), and 100 ms to
// settle when the outputs start.
struct SweepEstimate {
    std::uint32_t points = 0;
    std::uint32_t pll_resets = 0;
    double seconds = 0;

    static SweepEstimate of(const SweepPlan &plan);
    // "221 points, 50 kHz apart: about 4.1 s on a real tester (3 PLL resets)"
    std::string text(const SweepPlan &plan) const;
};

// Refuses a frequency outside kMinFrequency..kMaxFrequency (InputError).
void check_frequency(std::uint32_t hz, const std::string &what);
// Refuses a start above kMaxFreshFrequency (InputError).
void check_fresh_start(std::uint32_t hz);
// Refuses a crystal frequency `x` would ignore (InputError).
void check_crystal(std::uint32_t hz);

struct SweepPoint {
    std::uint32_t frequency = 0;
    std::optional<double> level; // nullopt: "*" from the device, or a gap in the file
    std::optional<double> db;    // nullopt where the level or the reference is missing or not positive
};

// 10 log10(level / reference); nullopt where the level is missing or either
// is not positive.
std::optional<double> decibels(std::optional<double> level, double reference);

class SweepResult {
public:
    // The levels the device sent for `plan`, in dB against kFullScaleLevel.
    SweepResult(const SweepPlan &plan, const std::vector<std::optional<double>> &levels);
    explicit SweepResult(std::vector<SweepPoint> points) : points_(std::move(points)) {}

    const std::vector<SweepPoint> &points() const { return points_; }

    // The dB against `reference` point by point: both must have the same
    // frequencies (InputError names the first that differs); a reference
    // point without a positive level leaves a gap.
    void normalise(const SweepResult &reference);

    // frequency_hz,level,db; gaps as empty fields (read back by
    // core/analysis/sweep_csv.h).
    std::string csv() const;

private:
    std::vector<SweepPoint> points_;
};

} // namespace snt
