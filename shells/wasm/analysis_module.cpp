// The analysis a page shows, for JavaScript: the same code and messages as
// `snt sweep` and `snt serve` (core/analysis), so the page computes nothing
// of its own.
//
//   Module.checkSweep({start, stop, points, step, scale})
//       {ok: true, start, step, points, stop, log, seconds, estimate} or
//       {ok: false, error, field}: the fields as typed, checked as the
//       command line checks --start, --stop, --points, --step and --log
//   Module.sweepFrequencies(settings)  Uint32Array of every point's hertz
//   Module.analyseTrace(trace, reference, summary)
//       trace, reference: {frequencies, levels} (arrays or typed arrays,
//       NaN where there is no level); reference null: full scale.
//       {db: Float64Array (NaN: none), texts: ["-3.01 dB at 10.2 MHz", ...],
//        and unless summary is false: summary: {text, several_peaks, max,
//        min, lower_3db, upper_3db, bandwidth, texts: {max, min, lower_3db,
//        upper_3db, bandwidth, centre, q}}, csv}
//   Module.parseReference(text, name)  {frequencies, levels} of a sweep CSV
//       read as snt sweep --ref reads it
//   Module.formatFrequency(hz)         "10.7 MHz"
//   Module.parseFrequency(text, what)  whole hertz, as snt takes them
//   Module.parseCrystal(text)          a counted crystal frequency for `x`
//   Module.FULL_SCALE_TEXT             "full scale (3.6864e10)"
//   Module.VERSION                     snt's version
// Refusals throw an Error with the core's message.
#include <emscripten/bind.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"
#include "core/analysis/sweep_csv.h"
#include "core/analysis/sweep_settings.h"
#include "core/analysis/trace.h"
#include "core/analysis/version.h"
#include "shells/wasm/js_values.h"

namespace {

using emscripten::val;
using namespace snt_wasm;

std::string text_of(const val &settings, const char *name)
{
    const val v = settings[name];
    if (!present(v)) return "";
    if (v.isString()) return v.as<std::string>();
    return v.call<std::string>("toString");
}

snt::SweepSettings settings_of(const val &s)
{
    return {text_of(s, "start"), text_of(s, "stop"), text_of(s, "points"), text_of(s, "step"), text_of(s, "scale")};
}

val check_sweep(const val &settings)
{
    val out = val::object();
    try {
        const snt::SweepPlan p = snt::plan_of(settings_of(settings));
        const snt::SweepEstimate e = snt::SweepEstimate::of(p);
        out.set("ok", true);
        out.set("start", p.start);
        out.set("step", p.step);
        out.set("points", p.points);
        out.set("stop", p.last());
        out.set("log", p.log);
        out.set("seconds", e.seconds);
        out.set("estimate", e.text(p));
    } catch (const snt::SettingsError &e) {
        out.set("ok", false);
        out.set("error", std::string(e.what()));
        out.set("field", e.field());
    }
    return out;
}

val sweep_frequencies(const val &settings)
{
    return or_throw([&] { return array_to_js(snt::plan_of(settings_of(settings)).frequencies(), "Uint32Array"); });
}

// {frequencies, levels} as points; NaN (or a missing entry) is no level.
std::vector<snt::SweepPoint> points_of(const val &trace, const char *what)
{
    if (!present(trace) || !present(trace["frequencies"]) || !present(trace["levels"]))
        throw snt::InputError(std::string(what) + ": expected {frequencies, levels}");
    const auto f = emscripten::convertJSArrayToNumberVector<double>(trace["frequencies"]);
    const auto l = emscripten::convertJSArrayToNumberVector<double>(trace["levels"]);
    if (f.size() != l.size()) throw snt::InputError(std::string(what) + ": as many levels as frequencies, please");
    std::vector<snt::SweepPoint> pts(f.size());
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (!(f[i] >= 0 && f[i] <= 4294967295.0) || f[i] != std::floor(f[i]))
            throw snt::InputError(std::string(what) + " point " + std::to_string(i + 1) +
                                  ": the frequency is not a whole number of hertz");
        pts[i].frequency = static_cast<std::uint32_t>(f[i]);
        if (!std::isnan(l[i])) pts[i].level = l[i];
    }
    return pts;
}

val optional_to_js(const std::optional<double> &v) { return v ? val(*v) : val::null(); }

val summary_to_js(const snt::Summary &s)
{
    val out = val::object();
    out.set("text", s.text());
    out.set("several_peaks", s.several_peaks);
    const auto extreme = [](const std::optional<snt::Summary::Extreme> &e) {
        if (!e) return val::null();
        val v = val::object();
        v.set("frequency", e->frequency);
        v.set("db", e->db);
        return v;
    };
    out.set("max", extreme(s.max));
    out.set("min", extreme(s.min));
    out.set("lower_3db", optional_to_js(s.several_peaks ? std::nullopt : s.lower_3db));
    out.set("upper_3db", optional_to_js(s.several_peaks ? std::nullopt : s.upper_3db));
    out.set("bandwidth", optional_to_js(s.bandwidth()));
    const snt::MarkerTexts m = snt::marker_texts(s);
    val texts = val::object();
    const std::pair<const char *, const std::string *> fields[] = {{"max", &m.max},
                                                                   {"min", &m.min},
                                                                   {"lower_3db", &m.lower_3db},
                                                                   {"upper_3db", &m.upper_3db},
                                                                   {"bandwidth", &m.bandwidth},
                                                                   {"centre", &m.centre},
                                                                   {"q", &m.q}};
    for (const auto &[name, text] : fields) texts.set(name, *text);
    out.set("texts", texts);
    return out;
}

val analyse_trace(const val &trace, const val &reference, bool with_summary)
{
    return or_throw([&] {
        std::vector<snt::SweepPoint> pts = points_of(trace, "the trace");
        if (pts.empty()) throw snt::InputError("the trace has no points");
        snt::check_trace(pts, "the trace", false);
        std::optional<std::vector<snt::SweepPoint>> ref;
        if (present(reference)) {
            ref = points_of(reference, "the reference");
            snt::check_trace(*ref, "the reference", true);
        }
        const snt::SweepResult result = snt::trace_db(std::move(pts), ref ? &*ref : nullptr);
        std::vector<double> db;
        db.reserve(result.points().size());
        std::string texts;
        for (const auto &p : result.points()) {
            db.push_back(p.db ? *p.db : NAN);
            if (!texts.empty()) texts += '\n';
            texts += snt::point_text(p);
        }
        val out = val::object();
        out.set("db", array_to_js(db, "Float64Array"));
        out.set("texts", lines_to_js(texts));
        if (with_summary) {
            out.set("summary", summary_to_js(snt::Summary::of(result)));
            out.set("csv", result.csv());
        }
        return out;
    });
}

val parse_reference(const std::string &text, const std::string &name)
{
    return or_throw([&] {
        const snt::SweepResult r = snt::parse_sweep_csv(text, name, snt::SweepCsv::Reference);
        std::vector<std::uint32_t> f;
        std::vector<double> l;
        for (const auto &p : r.points()) {
            f.push_back(p.frequency);
            l.push_back(p.level ? *p.level : NAN);
        }
        val out = val::object();
        out.set("frequencies", array_to_js(f, "Uint32Array"));
        out.set("levels", array_to_js(l, "Float64Array"));
        return out;
    });
}

double parse_frequency(const std::string &text, const std::string &what)
{
    return or_throw([&] { return static_cast<double>(snt::parse_frequency(text, what)); });
}

double parse_crystal(const std::string &text)
{
    return or_throw([&] { return static_cast<double>(snt::parse_crystal(text)); });
}

} // namespace

EMSCRIPTEN_BINDINGS(snt_analysis)
{
    emscripten::function("checkSweep", &check_sweep);
    emscripten::function("sweepFrequencies", &sweep_frequencies);
    emscripten::function("analyseTrace", &analyse_trace);
    emscripten::function("parseReference", &parse_reference);
    emscripten::function("formatFrequency", &snt::format_frequency);
    emscripten::function("parseFrequency", &parse_frequency);
    emscripten::function("parseCrystal", &parse_crystal);
    emscripten::constant("FULL_SCALE_TEXT", snt::full_scale_text());
    emscripten::constant("VERSION", std::string(snt::kVersion));
}
