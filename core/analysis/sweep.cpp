#include "core/analysis/sweep.h"

#include <cmath>
#include <cstdio>

#include "core/analysis/frequency.h"

namespace snt {

namespace {

std::string range_text() { return format_frequency(kMinFrequency) + " to " + format_frequency(kMaxFrequency); }

} // namespace

std::optional<double> decibels(std::optional<double> level, double reference)
{
    if (!level || *level <= 0 || reference <= 0) return std::nullopt;
    return 10.0 * std::log10(*level / reference);
}

void check_frequency(std::uint32_t hz, const std::string &what)
{
    if (hz < kMinFrequency || hz > kMaxFrequency)
        throw InputError(what + " " + format_frequency(hz) + " is out of range: the tester covers " + range_text());
}

void check_fresh_start(std::uint32_t hz)
{
    if (hz > kMaxFreshFrequency)
        throw InputError("start frequency " + format_frequency(hz) + " is above " +
                         format_frequency(kMaxFreshFrequency) +
                         ", the highest the synthesizer reaches on a fresh plan: start at or below it (a sweep "
                         "reaches up to " +
                         format_frequency(kMaxFrequency) + " by stepping up from there)");
}

void check_crystal(std::uint32_t hz)
{
    if (hz < kMinCrystal || hz > kMaxCrystal)
        throw InputError("crystal frequency " + std::to_string(hz) + " Hz is out of range: the tester accepts " +
                         std::to_string(kMinCrystal) + " to " + std::to_string(kMaxCrystal) + " Hz");
}

SweepPlan SweepPlan::make(std::uint32_t start, std::uint32_t stop, std::optional<std::uint32_t> points,
                          std::optional<std::uint32_t> step)
{
    check_frequency(start, "start frequency");
    check_frequency(stop, "stop frequency");
    if (stop < start) throw InputError("the stop frequency is below the start frequency");
    check_fresh_start(start);
    if (points.has_value() == step.has_value()) throw InputError("give either --points or --step, not both or neither");
    SweepPlan plan;
    plan.start = start;
    plan.stop = stop;
    const std::uint32_t span = stop - start;
    if (points) {
        if (*points == 0) throw InputError("--points must be at least 1");
        if (*points > kMaxPoints)
            throw InputError(std::to_string(*points) + " points are too many: at most " + std::to_string(kMaxPoints) +
                             " in one sweep");
        plan.points = *points;
        if (*points == 1) {
            plan.step = 1;
        } else {
            if (span == 0) throw InputError("start and stop are the same: use --points 1");
            const double s = std::round(static_cast<double>(span) / (*points - 1));
            if (s < 1)
                throw InputError("too many points: " + std::to_string(*points) + " points over " +
                                 format_frequency(span) + " would be less than 1 Hz apart");
            plan.step = static_cast<std::uint32_t>(s);
            // Rounding the step up must not take the last point past the range.
            while (plan.points > 1 && static_cast<std::uint64_t>(plan.step) * (plan.points - 1) + start > kMaxFrequency)
                --plan.step;
        }
    } else {
        if (*step == 0) throw InputError("--step must be more than 0 Hz");
        plan.step = *step;
        plan.points = span / *step + 1; // at most 200 million: fits
    }
    if (plan.points > kMaxPoints)
        throw InputError(std::to_string(plan.points) + " points are too many: at most " + std::to_string(kMaxPoints) +
                         " in one sweep");
    return plan;
}

std::uint32_t SweepPlan::frequency(std::uint32_t i) const
{
    if (!log || points < 2) return start + step * i;
    if (i + 1 >= points) return stop;
    const double ratio = static_cast<double>(stop) / start;
    return static_cast<std::uint32_t>(std::llround(start * std::pow(ratio, static_cast<double>(i) / (points - 1))));
}

std::vector<std::uint32_t> SweepPlan::frequencies() const
{
    std::vector<std::uint32_t> fs;
    fs.reserve(points);
    for (std::uint32_t i = 0; i < points; ++i) fs.push_back(frequency(i));
    return fs;
}

SweepPlan SweepPlan::make_log(std::uint32_t start, std::uint32_t stop, std::uint32_t points)
{
    check_frequency(start, "start frequency");
    check_frequency(stop, "stop frequency");
    check_fresh_start(start);
    if (stop <= start) throw InputError("a log sweep needs a stop frequency above its start frequency");
    if (points < 2) throw InputError("a log sweep needs at least 2 points");
    if (points > kMaxPoints)
        throw InputError(std::to_string(points) + " points are too many: at most " + std::to_string(kMaxPoints) +
                         " in one sweep");
    SweepPlan plan;
    plan.log = true;
    plan.start = start;
    plan.stop = stop;
    plan.points = points;
    plan.step = 0;
    // The points are closest at the start: the first two must differ.
    if (plan.frequency(1) <= start)
        throw InputError("too many points: " + std::to_string(points) + " points from " + format_frequency(start) +
                         " to " + format_frequency(stop) + " would put two on the same hertz");
    return plan;
}

namespace {

// The synthesizer's integer plan for one output, as the firmware keeps it:
// the divider and R stay while the PLL (f x divider x 2^R) stays within
// 600..800 MHz, otherwise a new divider brings it near 700 MHz.
struct OutputPlan {
    std::uint32_t divider = 0;
    unsigned rdiv = 0;

    // False when the frequency cannot be made. Sets `changed` when the
    // divider or R had to change (the PLL is then reset).
    bool plan(std::uint32_t f, bool &changed)
    {
        const std::uint64_t p = std::uint64_t{f} * divider * (std::uint64_t{1} << rdiv);
        if (divider != 0 && p >= 600000000u && p <= 800000000u) return true;
        std::uint32_t q = 700000000u / f;
        if (q <= 3) return false;
        if (q == 4 || q == 5) q = 4;
        unsigned r = 0;
        if (q <= 300) {
            q &= ~1u;
        } else {
            while (q > 300) {
                q >>= 1;
                ++r;
            }
        }
        if (r > 7) return false;
        changed = changed || q != divider || r != rdiv;
        divider = q;
        rdiv = r;
        return true;
    }
};

constexpr double kPointSeconds = 0.018;
constexpr double kResetPointSeconds = 0.068;
constexpr double kSettleSeconds = 0.1;

} // namespace

SweepEstimate SweepEstimate::of(const SweepPlan &plan)
{
    SweepEstimate e;
    e.points = plan.points;
    e.seconds = kSettleSeconds;
    OutputPlan lo, rf;
    for (std::uint32_t i = 0; i < plan.points; ++i) {
        const std::uint32_t f = plan.frequency(i);
        bool changed = false;
        rf.plan(f, changed);
        lo.plan(f < 130000000 ? f + 1000 : f - 1000, changed);
        e.pll_resets += changed;
        e.seconds += changed ? kResetPointSeconds : kPointSeconds;
    }
    return e;
}

std::string SweepEstimate::text(const SweepPlan &plan) const
{
    std::string spacing;
    if (plan.points < 2) {
        spacing = "at " + format_frequency(plan.start);
    } else if (plan.log) {
        const double ratio = std::pow(static_cast<double>(plan.stop) / plan.start, 1.0 / (plan.points - 1));
        char buf[64];
        std::snprintf(buf, sizeof buf, "each %.4g%% above the one before", (ratio - 1) * 100);
        spacing = buf;
    } else {
        spacing = format_frequency(plan.step) + " apart";
    }
    char time[64];
    if (seconds < 120) {
        std::snprintf(time, sizeof time, "%.1f s", seconds);
    } else if (seconds < 7200) {
        std::snprintf(time, sizeof time, "%.1f min", seconds / 60);
    } else {
        std::snprintf(time, sizeof time, "%.1f h", seconds / 3600);
    }
    return std::to_string(points) + (points == 1 ? " point, " : " points, ") + spacing + ": about " + time +
        " on a real tester (" + std::to_string(pll_resets) + (pll_resets == 1 ? " PLL reset" : " PLL resets") + ")";
}

SweepResult::SweepResult(const SweepPlan &plan, const std::vector<std::optional<double>> &levels)
{
    points_.reserve(levels.size());
    for (std::uint32_t i = 0; i < levels.size(); ++i)
        points_.push_back({plan.frequency(i), levels[i], decibels(levels[i], kFullScaleLevel)});
}

void SweepResult::normalise(const SweepResult &reference)
{
    const auto &ref = reference.points_;
    const std::size_t n = std::min(ref.size(), points_.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (ref[i].frequency != points_[i].frequency)
            throw InputError("the reference does not fit this sweep: its point " + std::to_string(i + 1) + " is at " +
                             std::to_string(ref[i].frequency) + " Hz, this sweep's at " +
                             std::to_string(points_[i].frequency) + " Hz");
    }
    if (ref.size() != points_.size()) {
        const std::string which = ref.size() < points_.size()
            ? "this sweep's point at " + std::to_string(points_[n].frequency) + " Hz"
            : "its point at " + std::to_string(ref[n].frequency) + " Hz";
        throw InputError("the reference does not fit this sweep: it has " + std::to_string(ref.size()) +
                         " points, this sweep " + std::to_string(points_.size()) + "; the first without a partner is " +
                         which);
    }
    for (std::size_t i = 0; i < n; ++i)
        points_[i].db = ref[i].level ? decibels(points_[i].level, *ref[i].level) : std::nullopt;
}

std::string SweepResult::csv() const
{
    std::string out = "frequency_hz,level,db\n";
    out.reserve(out.size() + points_.size() * 32);
    // "%.2f" of the largest double has 309 digits before the point.
    char buf[320];
    for (const auto &p : points_) {
        out += std::to_string(p.frequency);
        out += ',';
        if (p.level) {
            std::snprintf(buf, sizeof buf, "%.2f", *p.level);
            out += buf;
        }
        out += ',';
        if (p.db) {
            std::snprintf(buf, sizeof buf, "%.3f", *p.db);
            out += buf;
        }
        out += '\n';
    }
    return out;
}

} // namespace snt
