#include "core/analysis/average.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace snt {

SweepAverage::SweepAverage(std::size_t points) : sums_(points, 0.0), counts_(points, 0) {}

void SweepAverage::add(const std::vector<std::optional<double>> &levels)
{
    if (levels.size() > sums_.size()) {
        throw std::invalid_argument("a sweep of " + std::to_string(levels.size()) + " points to an average of " +
                                    std::to_string(sums_.size()));
    }
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const std::optional<double> &level = levels[i];
        if (!level || !(*level >= 0) || !std::isfinite(*level)) continue;
        sums_[i] += *level;
        ++counts_[i];
    }
    ++sweeps_;
}

std::vector<std::optional<double>> SweepAverage::levels() const
{
    std::vector<std::optional<double>> out(sums_.size());
    for (std::size_t i = 0; i < sums_.size(); ++i) {
        if (counts_[i] > 0) out[i] = sums_[i] / counts_[i];
    }
    return out;
}

} // namespace snt
