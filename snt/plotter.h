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

    // Throws std::runtime_error when PLplot has no driver for `format`
    // (PLplot itself would end the program). Checked before a sweep starts.
    static void check_driver(Format format);

    // "snt sweep 1–20 MHz" plus ", DUT" when the device under test is known.
    static std::string title(const SweepResult &result, const std::string &dut);

    // The PNG or SVG image of `result`, drawn by PLplot in memory: the unit
    // of the frequency axis chosen from the range, a grid, gaps where the
    // sweep has none. Throws std::runtime_error when PLplot fails.
    static std::string render(const SweepResult &result, Format format, const std::string &title,
                              const std::string &y_label);
};

} // namespace snt
