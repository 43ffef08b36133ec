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
//   Module.viewSweep(trace, reference, options)
//       what `snt sweep` shows of a trace with the bench jobs' choices;
//       options: {offset, reflection, swrLimit, plotSwr, average, marks:
//       [hz], log, reference: name}. {db: Float64Array as drawn (dB, return
//       loss or SWR), texts, overload: Uint8Array, atLeast: Float64Array
//       (what an overloaded point read, NaN elsewhere), yLabel, figures,
//       summary: {text: every line snt sweep prints, and when figures the
//       summary's fields as analyseTrace gives them}, csv, markers: [{hz,
//       frequency, db, delta_hz, delta_db (null where none), text}]}
//   Module.averageLevels([levels, ...])  the mean of sweeps' levels (NaN
//       gaps), point by point, in power, as snt sweep --average takes it
//   new Module.CrystalSearch({nominal, fixture, parallel})  the adaptive
//       search of snt crystal: nextSweep() {start, step, points, stop, log,
//       seconds, estimate, frequencies} or null, stage(), feed(levels),
//       done(), outcome() {parameters: {fs_hz, ..., text, csv(label)} or
//       null, notes, sweeps, points, seconds}
//   Module.formatFrequency(hz)         "10.7 MHz"
//   Module.parseFrequency(text, what)  whole hertz, as snt takes them
//   Module.parseCrystal(text)          a counted crystal frequency for `x`
//   Module.FULL_SCALE_TEXT             "full scale (3.6864e10)"
//   Module.VERSION                     snt's version
// Refusals throw an Error with the core's message.
#include <emscripten/bind.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/analysis/average.h"
#include "core/analysis/crystal_search.h"
#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"
#include "core/analysis/sweep_csv.h"
#include "core/analysis/sweep_settings.h"
#include "core/analysis/sweep_view.h"
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

double number_or(const val &options, const char *name, double fallback)
{
    const val v = options[name];
    return present(v) ? v.as<double>() : fallback;
}

snt::SweepViewOptions view_options_of(const val &o)
{
    snt::SweepViewOptions v;
    if (!present(o)) return v;
    v.offset_db = number_or(o, "offset", 0);
    if (!std::isfinite(v.offset_db)) throw snt::InputError("the offset must be a number of dB");
    v.reflection = present(o["reflection"]) && o["reflection"].as<bool>();
    v.swr_limit = number_or(o, "swrLimit", snt::kDefaultSwrLimit);
    v.plot_swr = present(o["plotSwr"]) && o["plotSwr"].as<bool>();
    v.average = static_cast<std::uint32_t>(number_or(o, "average", 1));
    v.log = present(o["log"]) && o["log"].as<bool>();
    if (present(o["reference"])) v.reference = o["reference"].as<std::string>();
    if (present(o["marks"])) v.marks = emscripten::convertJSArrayToNumberVector<double>(o["marks"]);
    return v;
}

// The readout of each point as drawn.
val view_texts(const snt::SweepView &view)
{
    const std::vector<std::string> lines = view.point_texts();
    std::string texts;
    for (std::size_t i = 0; i < lines.size(); ++i) texts += (i ? "\n" : "") + lines[i];
    return lines_to_js(texts);
}

val markers_to_js(const std::vector<snt::MarkerLine> &lines)
{
    val out = val::array();
    for (const auto &m : lines) {
        val v = val::object();
        v.set("hz", m.hz);
        v.set("frequency", m.reading ? val(m.reading->frequency) : val::null());
        v.set("db", m.reading ? val(m.reading->db) : val::null());
        v.set("delta_hz", m.from_first ? val(m.from_first->hz) : val::null());
        v.set("delta_db", m.from_first ? val(m.from_first->db) : val::null());
        v.set("text", m.text);
        out.call<void>("push", v);
    }
    return out;
}

val view_sweep(const val &trace, const val &reference, const val &options)
{
    return or_throw([&] {
        const snt::SweepViewOptions o = view_options_of(options);
        std::vector<snt::SweepPoint> pts = points_of(trace, "the trace");
        if (pts.empty()) throw snt::InputError("the trace has no points");
        snt::check_trace(pts, "the trace", false);
        std::optional<std::vector<snt::SweepPoint>> ref;
        if (present(reference)) {
            ref = points_of(reference, "the reference");
            snt::check_trace(*ref, "the reference", true);
        }
        snt::check_view_reference(o, ref.has_value());
        const snt::SweepView view = snt::view_of(snt::trace_db(std::move(pts), ref ? &*ref : nullptr), o);
        std::vector<double> db;
        std::vector<double> at_least;
        std::vector<std::uint8_t> overload;
        for (std::size_t i = 0; i < view.plotted.points().size(); ++i) {
            const auto &p = view.plotted.points()[i];
            db.push_back(p.db ? *p.db : NAN);
            overload.push_back(view.checked.overload[i] ? 1 : 0);
            at_least.push_back(view.checked.at_least_db[i] ? *view.checked.at_least_db[i] : NAN);
        }
        val out = val::object();
        out.set("db", array_to_js(db, "Float64Array"));
        out.set("overload", array_to_js(overload, "Uint8Array"));
        out.set("atLeast", array_to_js(at_least, "Float64Array"));
        out.set("texts", view_texts(view));
        out.set("yLabel", view.y_label);
        out.set("figures", view.figures);
        val summary = view.figures ? summary_to_js(snt::Summary::of(view.checked.result)) : val::object();
        summary.set("text", view.summary);
        out.set("summary", summary);
        out.set("csv", view.csv);
        out.set("markers", markers_to_js(view.markers));
        return out;
    });
}

val average_levels(const val &sweeps)
{
    return or_throw([&] {
        const auto n = sweeps["length"].as<std::size_t>();
        if (n == 0) throw snt::InputError("no sweeps to average");
        std::optional<snt::SweepAverage> average;
        for (std::size_t k = 0; k < n; ++k) {
            const auto l = emscripten::convertJSArrayToNumberVector<double>(sweeps[k]);
            if (!average) average.emplace(l.size());
            std::vector<std::optional<double>> levels(l.size());
            for (std::size_t i = 0; i < l.size(); ++i)
                if (!std::isnan(l[i])) levels[i] = l[i];
            average->add(levels);
        }
        std::vector<double> mean;
        for (const auto &v : average->levels()) mean.push_back(v ? *v : NAN);
        return array_to_js(mean, "Float64Array");
    });
}

// snt crystal's search, one sweep at a time for whoever owns the tester.
class CrystalSearchJs {
public:
    explicit CrystalSearchJs(const val &o) : search_(or_throw([&] { return snt::CrystalSearch(options_of(o)); })) {}

    val next_sweep() const
    {
        const auto plan = search_.next_sweep();
        if (!plan) return val::null();
        const snt::SweepEstimate e = snt::SweepEstimate::of(*plan);
        val out = val::object();
        out.set("start", plan->start);
        out.set("step", plan->step);
        out.set("points", plan->points);
        out.set("stop", plan->last());
        out.set("log", plan->log);
        out.set("seconds", e.seconds);
        out.set("estimate", e.text(*plan));
        out.set("frequencies", array_to_js(plan->frequencies(), "Uint32Array"));
        return out;
    }

    std::string stage() const { return search_.stage_text(); }
    bool done() const { return search_.done(); }

    void feed(const val &levels)
    {
        or_throw([&] {
            const auto l = emscripten::convertJSArrayToNumberVector<double>(levels);
            std::vector<std::optional<double>> fed(l.size());
            for (std::size_t i = 0; i < l.size(); ++i)
                if (!std::isnan(l[i])) fed[i] = l[i];
            search_.feed(fed);
            return 0;
        });
    }

    val outcome() const
    {
        val out = val::object();
        const auto &r = search_.result();
        out.set("parameters", r ? parameters_to_js(*r) : val::null());
        val notes = val::array();
        for (const auto &n : search_.notes()) notes.call<void>("push", n);
        out.set("notes", notes);
        out.set("sweeps", search_.sweeps());
        out.set("points", search_.points());
        out.set("seconds", search_.device_seconds());
        return out;
    }

    std::string csv_row(const std::string &label) const
    {
        return search_.result() ? search_.result()->csv_row(label) : std::string();
    }

private:
    static snt::CrystalSearchOptions options_of(const val &o)
    {
        snt::CrystalSearchOptions opts;
        opts.nominal_hz = number_or(o, "nominal", 0);
        opts.fixture_ohms = number_or(o, "fixture", 50);
        opts.parallel = present(o["parallel"]) && o["parallel"].as<bool>();
        return opts;
    }

    static val parameters_to_js(const snt::CrystalParameters &p)
    {
        val v = val::object();
        const std::pair<const char *, double> fields[] = {{"fs_hz", p.fs_hz},
                                                          {"rm_ohm", p.rm_ohm},
                                                          {"lm_h", p.lm_h},
                                                          {"cm_f", p.cm_f},
                                                          {"qu", p.qu},
                                                          {"ql", p.ql},
                                                          {"fixture_ohms", p.fixture_ohms}};
        for (const auto &[name, x] : fields) v.set(name, x);
        v.set("fp_hz", optional_to_js(p.fp_hz));
        v.set("c0_f", optional_to_js(p.c0_f));
        v.set("text", p.text());
        return v;
    }

    snt::CrystalSearch search_;
};

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
    emscripten::function("viewSweep", &view_sweep);
    emscripten::function("averageLevels", &average_levels);
    emscripten::class_<CrystalSearchJs>("CrystalSearch")
        .constructor<const val &>()
        .function("nextSweep", &CrystalSearchJs::next_sweep)
        .function("stage", &CrystalSearchJs::stage)
        .function("done", &CrystalSearchJs::done)
        .function("feed", &CrystalSearchJs::feed)
        .function("outcome", &CrystalSearchJs::outcome)
        .function("csvRow", &CrystalSearchJs::csv_row);
    emscripten::function("formatFrequency", &snt::format_frequency);
    emscripten::function("parseFrequency", &parse_frequency);
    emscripten::function("parseCrystal", &parse_crystal);
    emscripten::constant("FULL_SCALE_TEXT", snt::full_scale_text());
    emscripten::constant("VERSION", std::string(snt::kVersion));
}
