#include "core/analysis/sweep_view.h"

#include <cstdio>

#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"
#include "core/analysis/sweep_csv.h"
#include "core/analysis/trace.h"

namespace snt {

namespace {

std::string with_line_end(std::string text)
{
    if (!text.empty() && text.back() != '\n') text += '\n';
    return text;
}

std::string fixed(const char *format, double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// The sweep's CSV; when a point clipped at the ADC, with a fourth column
// `overload`, "1" there, and no dB: a reader sees no gain where there was
// none to see (ours reads the column).
std::string marked_csv(const CheckedSweep &checked)
{
    std::string plain = checked.result.csv();
    if (checked.overloaded() == 0) return plain;
    std::string out = std::string(kOverloadCsvHeader) + "\n";
    std::size_t at = plain.find('\n') + 1, row = 0;
    while (at < plain.size()) {
        const std::size_t end = plain.find('\n', at);
        out.append(plain, at, end - at);
        out += row < checked.overload.size() && checked.overload[row] ? ",1\n" : ",\n";
        at = end + 1;
        ++row;
    }
    return out;
}

// The trace of return loss (or SWR) to plot, and the CSV.
void reflection_view(SweepView &view, const SweepViewOptions &o, const Reflection &refl)
{
    std::vector<SweepPoint> points;
    for (const auto &p : refl.points) points.push_back({p.frequency, p.level, o.plot_swr ? p.swr : p.rl_db});
    view.plotted = SweepResult(std::move(points));
    view.csv = refl.csv();
    view.y_label = o.plot_swr ? "SWR" : "return loss (dB)";
    view.figures = false;
}

std::vector<MarkerLine> marker_lines(const SweepViewOptions &o, const CheckedSweep &checked)
{
    std::vector<MarkerLine> lines;
    std::optional<MarkerReading> first;
    for (std::size_t i = 0; i < o.marks.size(); ++i) {
        MarkerLine line;
        line.hz = o.marks[i];
        const std::string name = "marker " + std::to_string(i + 1) + ": ";
        try {
            const MarkerReading m = read_marker(checked.result.points(), o.marks[i], o.log);
            line.reading = m;
            line.text = name + marker_text(m);
            if (o.reflection) {
                const auto swr = swr_of_return_loss(-m.db);
                line.text +=
                    ", return loss " + fixed("%.2f dB", -m.db) + ", SWR " + (swr ? fixed("%.2f", *swr) : "none");
            }
            if (first) {
                line.from_first = marker_delta(*first, m);
                line.text += " (from marker 1: " + marker_delta_text(*line.from_first) + ")";
            }
            if (!first) first = m;
        } catch (const InputError &e) {
            line.text = name + "no reading at " + format_frequency(o.marks[i]) + ": " + e.what();
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

} // namespace

SweepView view_of(const SweepResult &result, const SweepViewOptions &o)
{
    SweepView view;
    view.checked = check_levels(result, o.offset_db);
    const CheckedSweep &checked = view.checked;
    if (o.reflection) {
        view.reflection = Reflection::of(checked.result, o.swr_limit);
        reflection_view(view, o, *view.reflection);
        view.summary = with_line_end(view.reflection->text());
    } else {
        view.csv = marked_csv(checked);
        view.plotted = checked.result;
        const Summary figures = Summary::of(checked.result);
        // Points that clipped are not gaps: the overload line says what they are.
        if (figures.max || checked.overloaded() == 0) view.summary = figures.text();
        if (o.offset_db != 0) {
            const std::string ref = o.reference.empty() ? "full scale" : o.reference;
            view.y_label = "dB (relative to " + ref + ", " + fixed("%+g", o.offset_db) + " dB offset)";
        }
    }
    std::string &summary = view.summary;
    if (o.average > 1) summary += "mean of " + std::to_string(o.average) + " sweeps, in power\n";
    if (o.offset_db != 0) summary += "offset " + fixed("%+.2f dB", o.offset_db) + " added to every dB\n";
    if (const auto over = checked.overload_text()) summary += with_line_end(*over);
    view.markers = marker_lines(o, checked);
    for (const auto &m : view.markers) summary += m.text + "\n";
    return view;
}

void check_view_reference(const SweepViewOptions &options, bool has_reference)
{
    if (options.reflection && !has_reference) {
        throw InputError("return loss needs a reference: a sweep of the bridge with its test port open (or shorted)");
    }
}

std::vector<std::string> SweepView::point_texts() const
{
    std::vector<std::string> texts;
    const auto &pts = checked.result.points();
    for (std::size_t i = 0; i < pts.size(); ++i) {
        if (checked.overload[i]) {
            texts.push_back(checked.point_text(i));
        } else if (reflection && pts[i].db) {
            const auto &r = reflection->points[i];
            texts.push_back("return loss " + db_text(*r.rl_db) + ", SWR " + (r.swr ? fixed("%.2f", *r.swr) : "none") +
                            " at " + format_frequency(pts[i].frequency));
        } else {
            texts.push_back(point_text(pts[i]));
        }
    }
    return texts;
}

} // namespace snt
