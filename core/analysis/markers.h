// Markers a user puts on a sweep: the level at a frequency of their choice,
// and the difference between two of them.
//
// Between two points the level is interpolated linearly in dB against
// frequency (against log frequency on a log sweep): that is the trace the
// plot and the page draw, so a marker reads what the user sees where they
// put it, and it is how the summary finds its -3 dB points. (Interpolating
// the power instead would read a different value from the one drawn, by up
// to a few dB between points of a steep slope.)
#pragma once

#include <string>
#include <vector>

#include "core/analysis/sweep.h"

namespace snt {

struct MarkerReading {
    double frequency = 0;
    double db = 0;
};

// The dB at `hz` on `points` (in increasing frequency). InputError, saying
// why, for a frequency outside the sweep or next to a gap (a point without
// dB on either side, unless `hz` is a measured point itself).
MarkerReading read_marker(const std::vector<SweepPoint> &points, double hz, bool log_sweep = false);

// `to` less `from`: delta f and delta dB.
struct MarkerDelta {
    double hz = 0;
    double db = 0;
};
MarkerDelta marker_delta(const MarkerReading &from, const MarkerReading &to);

// "-3.02 dB at 10.2 MHz"; "+500 kHz, -12.30 dB".
std::string marker_text(const MarkerReading &m);
std::string marker_delta_text(const MarkerDelta &d);

} // namespace snt
