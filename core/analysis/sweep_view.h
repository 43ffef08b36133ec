// What a sweep shows its user once measured, the same in every shell (the
// command line, snt serve's page and the static page): the trace to draw,
// the CSV to keep, the label of the dB axis and the summary's lines, from
// the dB against full scale or a reference and the bench job's choices (an
// offset added back, return loss and SWR through a bridge, the markers the
// user placed, how many sweeps were averaged).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/analysis/markers.h"
#include "core/analysis/overload.h"
#include "core/analysis/reflection.h"
#include "core/analysis/sweep.h"

namespace snt {

struct SweepViewOptions {
    double offset_db = 0;
    bool reflection = false; // the dB are against a bridge's open (or short)
    double swr_limit = kDefaultSwrLimit;
    bool plot_swr = false;     // reflection: draw SWR rather than return loss
    std::uint32_t average = 1; // the levels are the mean of this many sweeps
    std::vector<double> marks; // marker frequencies, in the order placed
    bool log = false;          // the sweep's points are spaced by a ratio
    std::string reference;     // what dB are against, for the axis; empty: full scale
};

// One marker: its reading, or why there is none.
struct MarkerLine {
    double hz = 0;
    std::optional<MarkerReading> reading;
    std::optional<MarkerDelta> from_first; // to this one from marker 1, where both read
    std::string text;                      // "marker 2: -3.02 dB at 10.2 MHz (from marker 1: ...)"
};

struct SweepView {
    std::string csv;
    SweepResult plotted{std::vector<SweepPoint>{}}; // dB, return loss or SWR as drawn
    std::string y_label;                            // "" for the shell's own
    bool figures = true;                            // the maximum and -3 dB points marked
    CheckedSweep checked;                           // with the offset, overloaded points taken out
    std::optional<Reflection> reflection;
    std::vector<MarkerLine> markers;
    std::string summary; // each line ends in a line feed

    // The readout of each point as drawn: "-3.01 dB at 10.2 MHz", "return
    // loss 14.00 dB, SWR 1.50 at 7 MHz", "overload at 10 MHz (...)".
    std::vector<std::string> point_texts() const;
};

// `result`: the sweep's dB against full scale or the reference. InputError
// for a limit that is not a number above 1.
SweepView view_of(const SweepResult &result, const SweepViewOptions &options);

// InputError when the options ask for return loss without a reference to
// measure it against.
void check_view_reference(const SweepViewOptions &options, bool has_reference);

} // namespace snt
