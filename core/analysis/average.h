// The mean of repeated sweeps, point by point, in power: the levels the
// tester sends are already power (the squared magnitude of the tone), so
// the mean level is the mean power, and dB come from it afterwards. A mean
// of dB would be another figure: the log of the geometric mean, below the
// mean power by an amount that grows with the noise (about 2.5 dB on the
// noise floor itself).
//
// Gaps: a point the tester answered with `*` in some sweeps is the mean of
// the sweeps that measured it (`counts` says how many); a point no sweep
// measured stays a gap. The synthesizer's gaps are the same in every sweep
// of a plan, so a point is either measured by every sweep or by none, and
// the rule matters only for a sweep cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace snt {

class SweepAverage {
public:
    // For sweeps of `points` points.
    explicit SweepAverage(std::size_t points);

    // One sweep's levels, in the plan's order; a sweep cut short may have
    // fewer, never more (std::invalid_argument). A level that is not a
    // finite number of 0 or more counts as a gap.
    void add(const std::vector<std::optional<double>> &levels);

    std::uint32_t sweeps() const { return sweeps_; }
    std::size_t points() const { return sums_.size(); }
    // The mean level of each point over the sweeps that measured it.
    std::vector<std::optional<double>> levels() const;
    // How many sweeps measured each point.
    const std::vector<std::uint32_t> &counts() const { return counts_; }

private:
    std::vector<double> sums_;
    std::vector<std::uint32_t> counts_;
    std::uint32_t sweeps_ = 0;
};

} // namespace snt
