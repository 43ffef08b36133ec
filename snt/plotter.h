// dB against frequency, drawn by PLplot into a PNG or SVG file.
#pragma once

#include <string>

#include "sweep.h"

namespace snt {

class Plotter {
public:
    enum class Format { Png, Svg };

    // The format a file name asks for, by its extension (.png or .svg, any
    // case); InputError for anything else. Checked before a sweep starts.
    static Format format_of(const std::string &path);

    // "snt sweep 1–20 MHz" plus ", DUT" when the device under test is known.
    static std::string title(const SweepResult &result, const std::string &dut);

    // Draws `result` into `path`: the unit of the frequency axis chosen
    // from the range, a grid, gaps where the sweep has none. Throws
    // std::runtime_error when the file cannot be written.
    static void plot(const SweepResult &result, const std::string &path, const std::string &title,
                     const std::string &y_label);
};

} // namespace snt
