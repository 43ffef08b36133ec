// What goes on a plot of dB against frequency, worked out without PLplot
// so it can be checked on its own: axis ranges, tick positions and labels,
// markers and their values, the legend and where it goes; the plot's
// format and title. shells/snt/plotter.h draws it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"
#include "core/analysis/sweep.h"

namespace snt {

enum class PlotFormat { Png, Svg };

// The format a file name asks for, by its extension (.png or .svg, any
// case); InputError for anything else. Checked before a sweep starts.
PlotFormat plot_format_of(const std::string &path);

// "snt sweep 10.001–10.002 MHz" (start and stop to the hertz) plus
// ", DUT" when the device under test is known.
std::string plot_title(const SweepResult &result, const std::string &dut);

struct PlotOptions {
    std::string title, y_label;
    bool log_x = false;                            // a logarithmic frequency axis
    std::optional<std::pair<double, double>> ylim; // dB, low and high
    // One trace's figures (maximum, -3 dB points); off for a trace that is
    // not a response in dB (return loss, SWR), where they would mislead.
    bool figures = true;
};

// One sweep on a plot; `name` is its legend entry when there are several.
struct Trace {
    std::string name;
    SweepResult result;
};

// "LOW:HIGH" in dB, e.g. "-80:10"; InputError unless LOW < HIGH.
std::pair<double, double> parse_ylim(const std::string &text);

struct PlotLayout {
    struct Tick {
        double x; // in plot coordinates: the unit's value, or log10(Hz)
        std::string label;
    };
    struct Marker {
        double x, db;
        std::string label;
    };

    bool log_x = false;
    FrequencyUnit unit{1e6, "MHz"}; // of a linear axis
    std::string x_label;
    double x0 = 0, x1 = 1, y0 = -100, y1 = 10;
    double y_step = 10;
    std::vector<Tick> x_ticks;
    std::vector<Marker> markers;     // the maximum and the -3 dB points (one trace)
    std::optional<double> dashed_db; // the -3 dB line
    std::vector<std::string> legend; // the box in the corner: trace names, or the figures
    // The legend's box in plot coordinates, in the corner where it hides
    // the fewest points and no marker.
    double box_left = 0, box_right = 0, box_bottom = 0, box_top = 0;
    std::string empty_note; // said on the plot when there is nothing to draw

    static PlotLayout of(const std::vector<Trace> &traces, const PlotOptions &options);
    // The markers and legend lines of one trace's figures.
    void add_figures(const Summary &summary);
    void place_legend(const std::vector<Trace> &traces);
    void set_log_frequency_axis(double f_lo, double f_hi);
    void set_linear_frequency_axis(double f_lo, double f_hi);
    // Where frequency `hz` goes on the x axis.
    double x_of(double hz) const;
};

} // namespace snt
