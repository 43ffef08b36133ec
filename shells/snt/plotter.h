// dB against frequency, drawn by PLplot into a PNG or SVG file, as
// PlotLayout (shells/snt/plot_layout.h) lays it out.
#pragma once

#include <string>
#include <vector>

#include "core/analysis/sweep.h"
#include "shells/snt/plot_layout.h"

namespace snt {

class Plotter {
public:
    using Format = PlotFormat;

    static Format format_of(const std::string &path) { return plot_format_of(path); }

    // Throws std::runtime_error when PLplot has no driver for `format`
    // (PLplot itself would end the program). Checked before a sweep starts.
    static void check_driver(Format format);

    static std::string title(const SweepResult &result, const std::string &dut) { return plot_title(result, dut); }

    // The PNG or SVG image of the traces, drawn by PLplot in memory as
    // PlotLayout lays it out. Throws std::runtime_error when PLplot fails.
    static std::string render(const std::vector<Trace> &traces, Format format, const PlotOptions &options);
    static std::string render(const SweepResult &result, Format format, const std::string &title,
                              const std::string &y_label);
};

} // namespace snt
