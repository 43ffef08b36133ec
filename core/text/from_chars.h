// A decimal number read from text, as std::from_chars reads a double in
// std::chars_format::general (no leading '+', no white space, no locale,
// "inf" and "nan" taken), on every platform: some C++ libraries (the one of
// emscripten among them) have no floating-point std::from_chars. A number
// beyond a double's range, too large or too small to be anything but 0,
// gives std::errc::result_out_of_range and leaves `value` alone, as
// std::from_chars does.
#pragma once

#include <charconv>

namespace snt_text {

std::from_chars_result from_chars(const char *first, const char *last, double &value);

} // namespace snt_text
