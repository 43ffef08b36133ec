// Arithmetic the analog suites share.
#pragma once

#include <cmath>

namespace snt_test {

constexpr double kPi = 3.14159265358979323846;

// A voltage gain in decibels.
inline double db(double gain) { return 20 * std::log10(gain); }

} // namespace snt_test
