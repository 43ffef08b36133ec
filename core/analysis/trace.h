// What a page shows of a trace, computed as `snt sweep` computes it: the
// dB against full scale or against a reference, the summary, the markers'
// texts, a readout for each point and the CSV. The page holds points as it
// received them; nothing here is computed again in the page.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/analysis/summary.h"
#include "core/analysis/sweep.h"

namespace snt {

// Levels as a page hands them over: every level finite and not below 0,
// and for a reference above 0 and large enough to take dB against, at most
// kMaxPoints. `what` names the trace in the message ("the reference").
// Throws InputError naming the point (from 1).
void check_trace(const std::vector<SweepPoint> &points, const std::string &what, bool reference);

// The trace's dB against full scale, or, with a reference, against the
// reference's level at each point (the same frequencies, or InputError).
SweepResult trace_db(std::vector<SweepPoint> trace, const std::vector<SweepPoint> *reference);

// "-3.01 dB at 10.2 MHz"; "no level at 10.2 MHz" where there is no dB.
std::string point_text(const SweepPoint &point);

// The markers beside a chart, as text: empty where the summary has none
// (the -3 dB points, bandwidth, centre and Q only around a single peak).
struct MarkerTexts {
    std::string max, min, lower_3db, upper_3db, bandwidth, centre, q;
};
MarkerTexts marker_texts(const Summary &summary);

// What dB are taken against without a reference: "full scale (3.6864e10)".
std::string full_scale_text();

} // namespace snt
