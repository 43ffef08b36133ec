// Frequencies as the user types them and as we print them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace snt {

// A frequency or number the user typed that we cannot use.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses "10.7M", "455k", "1G", "25000000" or "10.7MHz" into whole hertz
// (rounded to the nearest hertz), by the rules of core/text/frequency_text.h,
// which snt-sim shares. The result must fit the device's unsigned 32-bit
// numbers. Throws InputError naming `what` and the text.
std::uint32_t parse_frequency(const std::string &text, const std::string &what = "frequency");

// Parses a whole, positive number of points.
std::uint32_t parse_count(const std::string &text, const std::string &what = "count");

// "10.7 MHz", "455 kHz", "18200 Hz": the shortest exact-looking form.
std::string format_frequency(double hz);

// The unit a plot axis or title uses for frequencies up to `max_hz`.
struct FrequencyUnit {
    double scale;     // hertz per unit
    const char *name; // "Hz", "kHz" or "MHz"
};
FrequencyUnit unit_for(double max_hz);

} // namespace snt
