// The figures a user looks for first in a sweep: where it is lowest and
// highest and, around a single peak, the -3 dB points and the bandwidth.
#pragma once

#include <optional>
#include <string>

#include "sweep.h"

namespace snt {

struct Summary {
    struct Extreme {
        double frequency = 0;
        double db = 0;
    };
    std::optional<Extreme> min, max;  // none when no point has a dB value

    // Around the highest point, where the response first falls 3 dB below
    // it on either side (linear interpolation between points, in dB).
    // nullopt when it stays within 3 dB to the edge of the sweep (or a gap).
    std::optional<double> lower_3db, upper_3db;
    // The search for a -3 dB point ran into a gap rather than the sweep's edge.
    bool lower_gap = false, upper_gap = false;
    // Another stretch, apart from the peak's, also comes within 3 dB of the
    // peak: the -3 dB points would be meaningless.
    bool several_peaks = false;

    static Summary of(const SweepResult &result);

    std::optional<double> bandwidth() const
    {
        if (lower_3db && upper_3db && !several_peaks) return *upper_3db - *lower_3db;
        return std::nullopt;
    }

    // A few lines of text for people.
    std::string text() const;
};

} // namespace snt
