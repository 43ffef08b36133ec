// Decimal numbers read as std::from_chars reads a double, on every
// platform: some C++ libraries (emscripten's among them) have no floating
// from_chars, so the reading is fast_float's, with from_chars' report of a
// value out of range.
#pragma once

#include <charconv>

namespace snt {

// Reads a double from [first, last) in from_chars' general format (no
// leading '+' or space; "inf", "infinity" and "nan" in any case). A finite
// number too large for a double, or one too small to be told from 0, gives
// std::errc::result_out_of_range and leaves `value` alone, as from_chars
// does.
std::from_chars_result read_double(const char *first, const char *last, double &value);

} // namespace snt
