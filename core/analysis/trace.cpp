#include "core/analysis/trace.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "core/analysis/frequency.h"

// A macro's value as the text it was written with.
#define SNT_TEXT_OF(x) #x
#define SNT_TEXT(x)    SNT_TEXT_OF(x)

namespace snt {

namespace {

std::string extreme_text(const std::optional<Summary::Extreme> &e)
{
    return e ? db_text(e->db) + " at " + format_frequency(e->frequency) : "";
}

std::string frequency_text(const std::optional<double> &hz) { return hz ? format_frequency(*hz) : ""; }

} // namespace

void check_trace(const std::vector<SweepPoint> &points, const std::string &what, bool reference)
{
    if (points.size() > kMaxPoints)
        throw InputError(what + " has more than " + std::to_string(kMaxPoints) + " points, more than a sweep can have");
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!points[i].level) continue;
        const std::string at = what + " point " + std::to_string(i + 1) + ": ";
        const double v = *points[i].level;
        if (!std::isfinite(v)) throw InputError(at + "the level is not a finite number");
        if (v < 0 || (reference && v <= 0))
            throw InputError(at +
                             (reference ? "the level is not above 0: a reference needs a positive level at every "
                                          "point (or none where the tester could not make the frequency)"
                                        : "the level is below 0"));
        // A tester reports at most the largest float: dB of any level
        // against this one must stay finite.
        if (reference && !std::isfinite(static_cast<double>(std::numeric_limits<float>::max()) / v))
            throw InputError(at + "the level is too small to take dB against");
    }
}

SweepResult trace_db(std::vector<SweepPoint> trace, const std::vector<SweepPoint> *reference)
{
    // Full scale first, as a reference of its own: the same arithmetic.
    std::vector<SweepPoint> full = trace;
    for (auto &p : full) p.level = kFullScaleLevel;
    SweepResult result(std::move(trace));
    result.normalise(SweepResult(std::move(full)));
    if (reference) result.normalise(SweepResult(*reference));
    return result;
}

std::string point_text(const SweepPoint &point)
{
    return (point.db ? db_text(*point.db) : std::string("no level")) + " at " + format_frequency(point.frequency);
}

MarkerTexts marker_texts(const Summary &s)
{
    MarkerTexts m;
    m.max = extreme_text(s.max);
    m.min = extreme_text(s.min);
    if (!s.several_peaks) {
        m.lower_3db = frequency_text(s.lower_3db);
        m.upper_3db = frequency_text(s.upper_3db);
    }
    m.bandwidth = frequency_text(s.bandwidth());
    m.centre = frequency_text(s.centre());
    if (const auto q = s.q()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.4g", *q); // as the summary's text
        m.q = buf;
    }
    return m;
}

std::string full_scale_text() { return "full scale (" SNT_TEXT(FULL_SCALE_LEVEL) ")"; }

} // namespace snt
