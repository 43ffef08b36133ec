// Two corrections to a sweep's dB before anyone reads them: a known loss
// added back (an attenuator put ahead of the device, so an amplifier is
// not driven into compression), and the points the detector could not hold.
//
// The overload rule. The tone reaches the ADC around mid-scale 2048 with a
// thru's peak of 1500 counts; the ADC holds at most 2047 counts above
// mid-scale, so a tone of more than 2047 counts peak is clipped (at
// 20 log10(2047 / 1500) = +2.70 dB of the full-scale level). A clipped
// tone reads low (its fundamental grows ever more slowly as it is driven
// harder, to at most 4/pi of the clip level, +4.8 dB), never high: so any
// level at or above (128 x 2047)^2, the level of a tone whose peak just
// touches the top count, is flagged as overload, and the gain there is at
// least what it reads, but not measured. This is a threshold on the level
// as the tester sent it, whatever the reference and the offset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/analysis/sweep.h"

namespace snt {

// The largest tone the ADC holds above mid-scale, in counts, and the level
// the detector reads for it: (256 / 2 x 2047)^2 = 6.865e10.
constexpr double kAdcHeadroomCounts = 2047;
constexpr double kOverloadLevel = (128 * kAdcHeadroomCounts) * (128 * kAdcHeadroomCounts);

inline bool is_overload(double level) { return level >= kOverloadLevel; }

struct CheckedSweep {
    // The sweep's points with `offset_db` added to every dB value, and no
    // dB at an overloaded point: no summary, marker or plot can take a
    // clipped tone for the device's gain.
    SweepResult result{std::vector<SweepPoint>{}};
    std::vector<bool> overload;
    // What each overloaded point read (with the offset): the gain there is
    // at least this.
    std::vector<std::optional<double>> at_least_db;

    std::uint32_t overloaded() const;
    // One line for the summary, or nothing when no point is overloaded:
    // "overload: 12 points from 9.5 MHz to 10.5 MHz, the tone clipped at
    // the ADC: the gain there is at least +3.1 dB, not measured; put an
    // attenuator ahead of the device and give its loss as the offset".
    std::optional<std::string> overload_text() const;
    // The readout of overloaded point `i`: "overload at 10 MHz (at least
    // +3.10 dB)".
    std::string point_text(std::size_t i) const;
};

// What an overloaded point says of the gain: "at least +3.10 dB", or
// "above the detector's range" where it read no dB at all.
std::string at_least_text(const std::optional<double> &at_least_db);

// `sweep` (its dB against full scale or a reference) with `offset_db` added
// and its overloaded points taken out.
CheckedSweep check_levels(const SweepResult &sweep, double offset_db = 0);

} // namespace snt
