#include "shells/snt/sweep_job.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "core/analysis/average.h"
#include "core/analysis/overload.h"
#include "core/analysis/sweep_record.h"
#include "core/analysis/sweep_view.h"
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

// The CSV, the plot's trace and the summary of the levels measured.
SweepView view_of(const Invocation &inv, const SweepResult &result)
{
    SweepViewOptions o;
    o.offset_db = inv.job.offset_db;
    o.reflection = inv.job.reflection;
    o.swr_limit = inv.job.swr_limit;
    o.plot_swr = inv.job.plot_swr;
    o.average = inv.job.average;
    o.marks.assign(inv.job.marks.begin(), inv.job.marks.end());
    o.log = inv.sweep.plan.log;
    o.reference = inv.sweep.ref;
    return snt::view_of(result, o);
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
    const SweepView view = view_of(inv, result);
    const std::string &summary = view.summary;
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
