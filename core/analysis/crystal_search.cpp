#include "core/analysis/crystal_search.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/analysis/frequency.h"

namespace snt {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::uint32_t kCoarsePoints = 25;
constexpr std::uint32_t kFinePoints = 31;
constexpr std::uint32_t kParallelPoints = 21;
constexpr std::uint32_t kParallelLogPoints = 30;
constexpr int kMaxCoarseMoves = 2;
constexpr int kMaxCoarseWidenings = 2;
constexpr double kWidening = 4;
constexpr int kMaxFineRounds = 3;
// The fine sweep covers this many -3 dB bandwidths.
constexpr double kFineBandwidths = 3;
// The parallel sweep covers fp - fs +- this share of it.
constexpr double kParallelShare = 0.2;
// The holder capacitances the log sweep looks for fp between.
constexpr double kMaxC0 = 20e-12, kMinC0 = 0.5e-12;
// A response flatter than this across the coarse sweep holds no resonance.
constexpr double kMinPeakDb = 6;
// Series points further below the peak than this say little about it.
constexpr double kSeriesWindowDb = 15;

std::vector<CrystalReading> sorted(std::vector<CrystalReading> r)
{
    std::sort(r.begin(), r.end(), [](const CrystalReading &a, const CrystalReading &b) { return a.hz < b.hz; });
    return r;
}

double loaded_bandwidth(const CrystalModel &m, double fixture) { return (2 * fixture + m.rm) / (2 * kPi * m.lm); }

double fp_of(const CrystalModel &m) { return m.fs * std::sqrt(1 + m.cm() / m.c0); }

} // namespace

CrystalSearch::CrystalSearch(const CrystalSearchOptions &options) : options_(options)
{
    const double nominal = options.nominal_hz;
    if (!(nominal >= kMinFrequency && nominal <= kMaxFreshFrequency)) {
        throw InputError("nominal frequency " + format_frequency(nominal) + ": must be from " +
                         format_frequency(kMinFrequency) + " to " + format_frequency(kMaxFreshFrequency));
    }
    if (!(options.fixture_ohms > 0) || !std::isfinite(options.fixture_ohms)) {
        throw InputError("fixture resistance: must be a number of ohms above 0");
    }
    if (!(options.reference_level > 0) || !std::isfinite(options.reference_level)) {
        throw InputError("reference level: must be a number above 0");
    }
    if (!(options.search_ppm > 0) || !(options.search_ppm <= 100000)) {
        throw InputError("search width: must be above 0 and at most 100000 ppm (10 %) each way");
    }
    plan_coarse(nominal, nominal * options.search_ppm * 1e-6);
    if (done()) throw InputError(notes_.back());
}

std::optional<SweepPlan> CrystalSearch::next_sweep() const
{
    if (done()) return std::nullopt;
    return plan_;
}

std::string CrystalSearch::stage_text() const
{
    switch (stage_) {
    case Stage::Coarse:
        return "coarse sweep for fs";
    case Stage::Fine:
        return "fine sweep around fs";
    case Stage::ParallelFine:
        return "sweep around fp";
    case Stage::ParallelLog:
        return "search for fp";
    case Stage::Done:
        break;
    }
    return "done";
}

bool CrystalSearch::plan(double start, double stop, std::uint32_t points, bool log)
{
    const double lo = std::round(start), hi = std::round(stop);
    if (!(lo >= kMinFrequency && hi <= kMaxFrequency && lo <= kMaxFreshFrequency && hi > lo)) {
        finish("the next sweep (" + format_frequency(lo) + " to " + format_frequency(hi) +
               ") is beyond what the tester can sweep");
        return false;
    }
    const auto first = static_cast<std::uint32_t>(lo), last = static_cast<std::uint32_t>(hi);
    if (log) {
        try {
            plan_ = SweepPlan::make_log(first, last, points);
        } catch (const InputError &e) {
            finish(std::string("the search for fp: ") + e.what());
            return false;
        }
    } else {
        plan_ = SweepPlan{};
        plan_.start = first;
        plan_.step = std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::lround((hi - lo) / (points - 1))));
        plan_.points = points;
    }
    return true;
}

void CrystalSearch::plan_coarse(double centre, double half_width)
{
    stage_ = Stage::Coarse;
    coarse_half_ = half_width;
    plan(centre - half_width, centre + half_width, kCoarsePoints, false);
}

void CrystalSearch::feed(const std::vector<std::optional<double>> &levels)
{
    if (done()) throw std::logic_error("the crystal search is over");
    if (levels.size() != plan_.points) throw std::logic_error("levels for another sweep than the one planned");
    ++sweeps_;
    points_ += plan_.points;
    seconds_ += SweepEstimate::of(plan_).seconds;
    last_.clear();
    for (std::uint32_t i = 0; i < levels.size(); ++i) {
        if (levels[i] && *levels[i] > 0 && std::isfinite(*levels[i])) {
            last_.push_back(
                {static_cast<double>(plan_.frequency(i)), 10 * std::log10(*levels[i] / options_.reference_level)});
        }
    }
    switch (stage_) {
    case Stage::Coarse:
        coarse_.insert(coarse_.end(), last_.begin(), last_.end());
        coarse_ = sorted(coarse_);
        after_coarse();
        break;
    case Stage::Fine:
        fine_.insert(fine_.end(), last_.begin(), last_.end());
        after_fine();
        break;
    case Stage::ParallelFine:
    case Stage::ParallelLog:
        after_parallel(stage_ == Stage::ParallelLog);
        break;
    case Stage::Done:
        break;
    }
}

void CrystalSearch::after_coarse()
{
    if (last_.size() < 3) return finish("the tester measured fewer than 3 points of the coarse sweep");
    const auto [low, high] = std::minmax_element(
        last_.begin(), last_.end(), [](const CrystalReading &a, const CrystalReading &b) { return a.db < b.db; });
    if (high->db - low->db < kMinPeakDb && coarse_widenings_ < kMaxCoarseWidenings) {
        ++coarse_widenings_;
        return plan_coarse((last_.front().hz + last_.back().hz) / 2, coarse_half_ * kWidening);
    }
    if (high->db - low->db < kMinPeakDb) {
        return finish("no resonance from " + format_frequency(last_.front().hz) + " to " +
                      format_frequency(last_.back().hz) + ": the response stays within " +
                      std::to_string(static_cast<int>(kMinPeakDb)) + " dB");
    }
    // A peak at an end of the sweep may lie beyond it: look there.
    const bool at_start = high == last_.begin(), at_end = high + 1 == last_.end();
    if (at_start || at_end) {
        if (coarse_moves_ == kMaxCoarseMoves) {
            return finish("no series resonance found from " + format_frequency(coarse_.front().hz) + " to " +
                          format_frequency(coarse_.back().hz) + ": the response rises towards the edge");
        }
        ++coarse_moves_;
        return plan_coarse(high->hz + (at_start ? -coarse_half_ : coarse_half_), coarse_half_);
    }
    const std::optional<CrystalModel> start = estimate_series(coarse_, options_.fixture_ohms);
    double centre = high->hz, bandwidth = 2 * static_cast<double>(plan_.step);
    if (start) {
        model_ = *start;
        centre = start->fs;
        bandwidth = loaded_bandwidth(*start, options_.fixture_ohms);
    } else {
        model_ = CrystalModel{centre, options_.fixture_ohms, options_.fixture_ohms / (kPi * bandwidth), 0};
    }
    stage_ = Stage::Fine;
    const double half = kFineBandwidths * bandwidth / 2;
    plan(centre - half, centre + half, kFinePoints, false);
}

std::vector<CrystalReading> CrystalSearch::series_readings() const
{
    std::vector<CrystalReading> all = fine_;
    double top = -1e300;
    for (const CrystalReading &r : fine_) top = std::max(top, r.db);
    for (const CrystalReading &r : coarse_) {
        if (r.db > top - kSeriesWindowDb) all.push_back(r);
    }
    return sorted(all);
}

void CrystalSearch::after_fine()
{
    ++fine_rounds_;
    const std::vector<CrystalReading> series = series_readings();
    const std::optional<CrystalModel> start = estimate_series(series, options_.fixture_ohms);
    if (!start) return finish("no peak in the fine sweep around " + format_frequency(model_.fs));
    const double planned_fs = model_.fs, planned_bw = loaded_bandwidth(model_, options_.fixture_ohms);
    model_ = fit_series(series, options_.fixture_ohms, *start, true);
    const double bandwidth = loaded_bandwidth(model_, options_.fixture_ohms);
    // The sweep was planned from a rougher estimate: sweep again around the
    // new one while it moved by more than a sixth of the sweep or the
    // bandwidth is off by more than a third.
    const bool moved = std::fabs(model_.fs - planned_fs) > kFineBandwidths * planned_bw / 6 ||
        bandwidth > planned_bw * 1.33 || bandwidth < planned_bw / 1.33;
    if (moved && fine_rounds_ < kMaxFineRounds) {
        const double half = kFineBandwidths * bandwidth / 2;
        plan(model_.fs - half, model_.fs + half, kFinePoints, false);
        return;
    }
    if (!options_.parallel) return finish();
    if (model_.c0 > kMinC0 && model_.c0 < kMaxC0) return plan_parallel_fine(fp_of(model_));
    plan_parallel_log();
}

void CrystalSearch::plan_parallel_fine(double fp)
{
    stage_ = Stage::ParallelFine;
    const double half = kParallelShare * (fp - model_.fs);
    plan(fp - half, fp + half, kParallelPoints, false);
}

void CrystalSearch::plan_parallel_log()
{
    stage_ = Stage::ParallelLog;
    parallel_log_done_ = true;
    const double cm = model_.cm();
    plan(model_.fs * std::sqrt(1 + cm / kMaxC0), model_.fs * std::sqrt(1 + cm / kMinC0), kParallelLogPoints, true);
}

void CrystalSearch::after_parallel(bool log_sweep)
{
    const auto lowest = std::min_element(last_.begin(), last_.end(),
                                         [](const CrystalReading &a, const CrystalReading &b) { return a.db < b.db; });
    const bool inside = last_.size() >= 3 && lowest != last_.begin() && lowest + 1 != last_.end();
    if (inside && log_sweep) return plan_parallel_fine(lowest->hz);
    if (inside) {
        parallel_ = last_;
        return finish();
    }
    if (!parallel_log_done_) return plan_parallel_log();
    notes_.push_back("no parallel resonance from " + format_frequency(last_.empty() ? 0 : last_.front().hz) + " to " +
                     format_frequency(last_.empty() ? 0 : last_.back().hz) + ": fp and C0 not measured");
    finish();
}

void CrystalSearch::finish(std::optional<std::string> failure)
{
    stage_ = Stage::Done;
    if (failure) {
        notes_.push_back(*failure);
        return;
    }
    result_ = analyse_crystal(series_readings(), parallel_, options_.fixture_ohms);
    if (!result_) notes_.emplace_back("no series peak to fit");
}

} // namespace snt
