// Return loss and SWR through a return-loss bridge. The reference is a
// sweep with the bridge's test port open (or shorted): all of the source's
// power comes back, |reflection| = 1. Against it each level of the load is
// |reflection|^2, so
//
//   return loss  RL = -10 log10(level / reference) dB   (the sweep's -dB)
//   |reflection|  G = 10^(-RL / 20)
//   SWR             = (1 + G) / (1 - G)
//
// A reading at or above the reference (G >= 1: an open, a short, or noise
// on them) has no finite SWR.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/analysis/sweep.h"

namespace snt {

constexpr double kDefaultSwrLimit = 2.0;

// SWR from return loss in dB (nullopt for RL <= 0) and back (swr > 1).
std::optional<double> swr_of_return_loss(double rl_db);
double return_loss_of_swr(double swr);

struct ReflectionPoint {
    std::uint32_t frequency = 0;
    std::optional<double> level;
    std::optional<double> rl_db; // where the sweep has dB
    std::optional<double> swr;   // where the return loss is above 0 dB
};

struct Reflection {
    std::vector<ReflectionPoint> points;
    double swr_limit = kDefaultSwrLimit;

    // The best match: the point of highest return loss.
    std::optional<std::size_t> best;
    // Around the best match, where the SWR stays below the limit: its edges
    // interpolated linearly in dB of return loss between points; an edge that
    // meets the sweep's end or a gap instead is that last point, flagged.
    struct Band {
        double lower = 0, upper = 0;
        bool lower_open = false, upper_open = false; // the band goes on past the sweep's end or a gap
    };
    std::optional<Band> band; // none when even the best match is at or above the limit

    // From a sweep normalised against the open (or short) reference.
    // InputError for a limit that is not a number above 1.
    static Reflection of(const SweepResult &normalised, double swr_limit = kDefaultSwrLimit);

    // The summary's lines: the best match and the band.
    std::string text() const;
    // frequency_hz,level,db,rl_db,swr: the sweep's CSV with two columns
    // more (db is the level against the reference, -rl_db); empty where
    // there is no value.
    std::string csv() const;
};

} // namespace snt
