// The figures a user looks for first in a sweep: where it is lowest and
// highest; around a single peak the -3, -6 and -60 dB points, bandwidths,
// centre, Q and shape factor; for a notch its depth and stop width; and
// where the levels are too close to the tester's noise to mean much.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/analysis/sweep.h"

namespace snt {

// The level the tester's detector reads with no signal at all: its noise,
// about -76 dB of full scale. Levels within 10 dB of it measure the
// noise rather than the device.
constexpr double kNoiseFloorLevel = 1000.0;
constexpr double kNoiseMarginDb = 10.0;

// Both points where the response crosses a level, either side of a peak
// (or, for a notch, of its dip), interpolated linearly in dB between points.
struct Crossings {
    std::optional<double> lower, upper;
    bool lower_gap = false, upper_gap = false; // the search ran into a gap, not the sweep's edge
    std::optional<double> width() const
    {
        if (lower && upper) return *upper - *lower;
        return std::nullopt;
    }
};

struct Summary {
    struct Extreme {
        double frequency = 0;
        double db = 0;
    };
    std::optional<Extreme> min, max; // none when no point has a dB value

    // Around the highest point, where the response first falls 3 dB below
    // it on either side (linear interpolation between points, in dB).
    // nullopt when it stays within 3 dB to the edge of the sweep (or a gap).
    std::optional<double> lower_3db, upper_3db;
    // The search for a -3 dB point ran into a gap rather than the sweep's edge.
    bool lower_gap = false, upper_gap = false;
    // Another stretch, apart from the peak's, also comes within 3 dB of the
    // peak: the -3 dB points would be meaningless.
    bool several_peaks = false;

    // Around a single peak: the -6 and -60 dB points, and how many sweep
    // points lie within the -3 dB bandwidth.
    Crossings minus6, minus60;
    std::uint32_t points_in_bandwidth = 0;

    // A dip well below both ends of the sweep (which stay within 3 dB of the
    // maximum): its frequency, depth below the maximum and its -3 dB stop
    // band (where the response is more than 3 dB below the maximum).
    struct Notch {
        double frequency = 0;
        double depth = 0;
        Crossings stop;
    };
    std::optional<Notch> notch;

    // The minimum is within kNoiseMarginDb of the noise floor: the true
    // attenuation may be greater. `noisy_points` of the sweep are.
    bool min_near_floor = false;
    std::uint32_t noisy_points = 0;

    // Fewer than this many points within the -3 dB bandwidth cannot
    // resolve it: the peak reads low and the bandwidth wide.
    static constexpr std::uint32_t kMinPointsInBandwidth = 5;

    static Summary of(const SweepResult &result);

    std::optional<double> bandwidth() const
    {
        if (lower_3db && upper_3db && !several_peaks) return *upper_3db - *lower_3db;
        return std::nullopt;
    }
    // The middle of the -3 dB points, and centre / bandwidth.
    std::optional<double> centre() const;
    std::optional<double> q() const;
    // -60 dB bandwidth over -6 dB bandwidth.
    std::optional<double> shape_factor() const;
    // The sweep is too coarse for the peak: a --start/--stop/--points that
    // puts 50 points into the -3 dB bandwidth, over five bandwidths.
    std::optional<std::string> finer_sweep() const;

    // A few lines of text for people.
    std::string text() const;
};

// "-1.58 dB", to two decimals as every text of ours gives dB ("0.00 dB",
// never "-0.00 dB").
std::string db_text(double db);

} // namespace snt
