#include "shells/snt/sweep_job.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "core/analysis/average.h"
#include "core/analysis/markers.h"
#include "core/analysis/overload.h"
#include "core/analysis/reflection.h"
#include "core/analysis/summary.h"
#include "core/analysis/sweep_csv.h"
#include "core/analysis/sweep_record.h"
#include "core/text/text.h"
#include "shells/snt/interrupt.h"
#include "shells/snt/output.h"
#include "shells/snt/progress.h"
#include "shells/snt/sweep_io.h"

namespace snt {

namespace {

// The summary and the notes about files go with it: to standard output, or
// to standard error when the CSV has standard output.
void report(const Invocation &inv, const std::string &text)
{
    if (inv.sweep.csv.empty() && inv.sweep.plot.empty()) {
        std::fputs(text.c_str(), stderr);
    } else {
        print(text);
    }
}

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

// The first `n` points of `result`.
SweepResult head(const SweepResult &result, std::size_t n)
{
    const auto &pts = result.points();
    return SweepResult(std::vector<SweepPoint>(pts.begin(), pts.begin() + std::min(n, pts.size())));
}

SweepRecord record_of(const Device &device, const Invocation &inv)
{
    const SweepOptions &s = inv.sweep;
    SweepRecord record;
    record.created = now_utc();
    record.command = inv.command_line;
    record.device = inv.port.empty() ? "virtual (snt-sim)" : inv.port;
    record.identification = kIdentification;
    record.crystal = device.banner_crystal();
    record.dut = inv.port.empty() ? (inv.dut.empty() ? "thru" : inv.dut) : "";
    record.reference = s.ref;
    record.plan = s.plan;
    return record;
}

// What a sweep cut short leaves: the mean of the sweeps done when there
// are some (of several asked for), else the points of the one under way.
struct SoFar {
    const std::vector<Device::Level> &levels; // the sweep under way
    const SweepAverage &average;
};

// After an interruption or a lost device: what was measured goes to
// FILE.partial (never to the file asked for), and we say where.
void keep_partial(const Invocation &inv, const SweepFiles &files, const SoFar &so_far, SweepRecord record)
{
    const SweepOptions &s = inv.sweep;
    const bool mean = inv.job.average > 1 && so_far.average.sweeps() > 0;
    const std::vector<Device::Level> levels = mean ? so_far.average.levels() : so_far.levels;
    if (levels.empty()) return;
    const InterruptSetAside set_aside;
    SweepResult result(s.plan, levels);
    if (s.reference) result.normalise(head(*s.reference, levels.size()));
    result = check_levels(result, inv.job.offset_db).result;
    record.measured = static_cast<std::uint32_t>(levels.size());
    const std::string counted = mean
        ? "mean of the " + std::to_string(so_far.average.sweeps()) + " of " + std::to_string(inv.job.average) +
            " sweeps"
        : std::to_string(levels.size()) + " of " + std::to_string(s.plan.points) + " points";
    try {
        if (!files.partial_path()) {
            std::fprintf(stderr, "snt: %s measured; not kept (give --csv FILE to keep them in FILE.partial)\n",
                         counted.c_str());
            return;
        }
        const auto paths = files.write_partial(result, record);
        std::fprintf(stderr, "snt: kept the %s measured in %s\n", counted.c_str(), printable(paths.front()).c_str());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "snt: could not keep the %s measured: %s\n", counted.c_str(), printable(e.what()).c_str());
    }
}

// --off-after: the outputs off, however the sweep ended. After a failure
// it is tried once and whatever stops it is said, not thrown.
void switch_off(Device &device, bool after_failure)
{
    if (!after_failure) {
        device.off();
        return;
    }
    const InterruptSetAside set_aside;
    try {
        device.off();
        std::fputs("snt: all outputs off\n", stderr);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "snt: could not switch the outputs off: %s\n", printable(e.what()).c_str());
    }
}

// The levels of the sweep, or the mean of `average` sweeps in power.
std::vector<Device::Level> measure(Device &device, const Invocation &inv, const SweepFiles &files,
                                   const SweepRecord &record)
{
    const SweepOptions &s = inv.sweep;
    const std::uint32_t n = inv.job.average;
    SweepAverage average(s.plan.points);
    std::vector<Device::Level> levels;
    levels.reserve(s.plan.points);
    try {
        Progress progress(s.plan.points * n);
        for (std::uint32_t k = 0; k < n; ++k) {
            levels.clear();
            device.sweep_frequencies(s.plan.frequencies(), [&](std::uint32_t, Device::Level level) {
                levels.push_back(level);
                progress.update(k * s.plan.points + static_cast<std::uint32_t>(levels.size()));
                return true;
            });
            average.add(levels);
        }
    } catch (const std::runtime_error &) {
        if (inv.job.off_after) switch_off(device, true);
        // A sweep the device ended short counts as done when it is the last.
        keep_partial(inv, files, SoFar{levels, average}, record);
        throw;
    }
    if (inv.job.off_after) switch_off(device, false);
    return n > 1 ? average.levels() : levels;
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

// The trace of return loss (or SWR) to plot, and the CSV and summary.
SweepView reflection_view(const Invocation &inv, const Reflection &refl)
{
    SweepView view;
    std::vector<SweepPoint> points;
    for (const auto &p : refl.points) points.push_back({p.frequency, p.level, inv.job.plot_swr ? p.swr : p.rl_db});
    view.plotted = SweepResult(std::move(points));
    view.csv = refl.csv();
    view.y_label = inv.job.plot_swr ? "SWR" : "return loss (dB)";
    view.figures = false;
    return view;
}

std::string marker_lines(const Invocation &inv, const CheckedSweep &checked)
{
    std::string t;
    std::optional<MarkerReading> first;
    for (std::size_t i = 0; i < inv.job.marks.size(); ++i) {
        const std::string name = "marker " + std::to_string(i + 1) + ": ";
        try {
            const MarkerReading m = read_marker(checked.result.points(), inv.job.marks[i], inv.sweep.plan.log);
            t += name + marker_text(m);
            if (inv.job.reflection) {
                const auto swr = swr_of_return_loss(-m.db);
                t += ", return loss " + fixed("%.2f dB", -m.db) + ", SWR " + (swr ? fixed("%.2f", *swr) : "none");
            }
            if (first) t += " (from marker 1: " + marker_delta_text(marker_delta(*first, m)) + ")";
            if (!first) first = m;
        } catch (const InputError &e) {
            t += name + "no reading at " + format_frequency(inv.job.marks[i]) + ": " + e.what();
        }
        t += "\n";
    }
    return t;
}

// The CSV, the plot's trace and the summary of the levels measured.
std::pair<SweepView, std::string> view_of(const Invocation &inv, const SweepResult &result)
{
    const CheckedSweep checked = check_levels(result, inv.job.offset_db);
    SweepView view;
    std::string summary;
    if (inv.job.reflection) {
        const Reflection refl = Reflection::of(checked.result, inv.job.swr_limit);
        view = reflection_view(inv, refl);
        summary = with_line_end(refl.text());
    } else {
        view.csv = marked_csv(checked);
        view.plotted = checked.result;
        const Summary figures = Summary::of(checked.result);
        // Points that clipped are not gaps: the overload line says what they are.
        if (figures.max || checked.overloaded() == 0) summary = figures.text();
        if (inv.job.offset_db != 0) {
            const std::string ref = inv.sweep.ref.empty() ? "full scale" : inv.sweep.ref;
            view.y_label = "dB (relative to " + ref + ", " + fixed("%+g", inv.job.offset_db) + " dB offset)";
        }
    }
    if (inv.job.average > 1) summary += "mean of " + std::to_string(inv.job.average) + " sweeps, in power\n";
    if (inv.job.offset_db != 0) summary += "offset " + fixed("%+.2f dB", inv.job.offset_db) + " added to every dB\n";
    if (const auto o = checked.overload_text()) summary += with_line_end(*o);
    summary += marker_lines(inv, checked);
    return {view, summary};
}

} // namespace

std::string wrote(const std::vector<std::string> &paths)
{
    std::string t;
    for (const auto &p : paths) t += "wrote " + printable(p) + "\n";
    return t;
}

void run_sweep(Device &device, const Invocation &inv, SweepFiles &files)
{
    const SweepOptions &s = inv.sweep;
    SweepRecord record = record_of(device, inv);
    const std::vector<Device::Level> levels = measure(device, inv, files, record);
    record.measured = static_cast<std::uint32_t>(levels.size());
    const SweepResult raw(s.plan, levels);
    SweepResult result = raw;
    if (s.reference) result.normalise(*s.reference);

    std::size_t unusable = 0;
    for (const auto &p : raw.points()) unusable += p.level && *p.level <= 0;
    if (!s.save_ref.empty() && unusable > 0)
        std::fprintf(stderr,
                     "snt: warning: %zu points of the reference have the level 0 (no signal at all); --ref will "
                     "refuse it\n",
                     unusable);
    const auto [view, summary] = view_of(inv, result);
    std::vector<std::string> written;
    std::optional<std::string> failed;
    try {
        written = files.write(raw, view, record);
    } catch (const Interrupted &) {
        throw;
    } catch (const std::runtime_error &e) {
        failed = e.what();
    }
    if (s.csv.empty() && s.plot.empty()) print(view.csv);
    report(inv, summary + wrote(written));
    if (failed) throw std::runtime_error(*failed);
    const bool any = std::any_of(levels.begin(), levels.end(), [](const Device::Level &l) { return l.has_value(); });
    if (!any) throw std::runtime_error("every point is a gap: the synthesizer could make none of these frequencies");
}

} // namespace snt
