#include "core/analysis/sweep_settings.h"

#include <optional>

namespace snt {

namespace {

// What `f` throws, as a refusal of `field`.
template <typename F>
auto in_field(const std::string &field, F &&f) -> decltype(f())
{
    try {
        return f();
    } catch (const SettingsError &) {
        throw;
    } catch (const InputError &e) {
        throw SettingsError(e.what(), field);
    }
}

} // namespace

SweepPlan plan_of(const SweepSettings &s)
{
    if (s.start.empty()) throw SettingsError("give the start frequency", "start");
    if (s.stop.empty()) throw SettingsError("give the stop frequency", "stop");
    const std::uint32_t start = in_field("start", [&] { return parse_frequency(s.start, "--start"); });
    const std::uint32_t stop = in_field("stop", [&] { return parse_frequency(s.stop, "--stop"); });
    in_field("start", [&] {
        check_frequency(start, "start frequency");
        return 0;
    });
    in_field("stop", [&] {
        check_frequency(stop, "stop frequency");
        return 0;
    });
    if (stop < start) throw SettingsError("the stop frequency is below the start frequency", "stop");
    if (!s.points.empty() && !s.step.empty()) throw SettingsError("give either --points or --step, not both", "points");
    if (s.points.empty() && s.step.empty()) throw SettingsError("give --points or --step", "points");
    std::optional<std::uint32_t> n, step;
    const std::string which = s.points.empty() ? "step" : "points";
    if (!s.points.empty()) n = in_field("points", [&] { return parse_count(s.points, "--points"); });
    if (!s.step.empty()) step = in_field("step", [&] { return parse_frequency(s.step, "--step"); });
    if (s.scale == "log") {
        if (!n) throw SettingsError("--log spaces the points by a ratio: give --points, not --step", "step");
        return in_field("points", [&] { return SweepPlan::make_log(start, stop, *n); });
    }
    if (!s.scale.empty() && s.scale != "linear") throw SettingsError("the scale is linear or log", "scale");
    return in_field(which, [&] { return SweepPlan::make(start, stop, n, step); });
}

std::uint32_t parse_crystal(const std::string &text)
{
    if (text.empty()) throw InputError("give the crystal frequency you counted");
    const std::uint32_t hz = parse_frequency(text, "crystal frequency");
    check_crystal(hz);
    return hz;
}

} // namespace snt
