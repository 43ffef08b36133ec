// Frequencies as people type them, read the same way by snt and snt-sim:
// a decimal number without a sign (a fraction and an exponent allowed), an
// optional multiplier k or K (1e3), M (1e6), G or g (1e9), and for a
// frequency an optional "Hz" in any case: 25000000, 455k, 10.7M, 1.2GHz.
// What a caller does with the value (whole hertz, above 0) is its own
// business; so are the messages, which each program words for its users.
#pragma once

#include <string_view>

namespace snt_text {

enum class Verdict {
    ok,
    no_number,  // nothing that reads as a number at the front
    bad_suffix, // a number followed by something other than a multiplier (and "Hz")
    milli,      // a number followed by m: a mistyped M, most likely
    plus_sign,  // a leading '+'
    minus_sign, // a leading '-' before what would otherwise be read
    too_large,  // beyond a double once multiplied
};

struct Reading {
    Verdict verdict;
    double value; // the number times its multiplier; valid when ok
};

// What `hertz` says: whether "Hz" may end the text (frequencies) or not
// (plain numbers such as a Q).
Reading read_scaled(std::string_view text, bool hertz);

} // namespace snt_text
