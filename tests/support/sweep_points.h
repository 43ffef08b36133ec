// Sweep results made up by a test, for the PC tool's suites.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/analysis/sweep.h"

namespace snt_test {

// A sweep result from (frequency, dB) pairs; nullopt is a gap.
inline snt::SweepResult sweep_of_db(const std::vector<std::pair<std::uint32_t, std::optional<double>>> &db_points)
{
    std::vector<snt::SweepPoint> pts;
    for (const auto &[f, db] : db_points) {
        snt::SweepPoint p;
        p.frequency = f;
        if (db) {
            p.level = snt::kFullScaleLevel * std::pow(10.0, *db / 10);
            p.db = db;
        }
        pts.push_back(p);
    }
    return snt::SweepResult(pts);
}

} // namespace snt_test
