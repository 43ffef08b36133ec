#include "core/analysis/overload.h"

#include <algorithm>
#include <cstdio>

#include "core/analysis/frequency.h"

namespace snt {

CheckedSweep check_levels(const SweepResult &sweep, double offset_db)
{
    CheckedSweep out;
    std::vector<SweepPoint> points = sweep.points();
    out.overload.assign(points.size(), false);
    out.at_least_db.assign(points.size(), std::nullopt);
    for (std::size_t i = 0; i < points.size(); ++i) {
        SweepPoint &p = points[i];
        if (p.db) *p.db += offset_db;
        if (p.level && is_overload(*p.level)) {
            out.overload[i] = true;
            out.at_least_db[i] = p.db;
            p.db.reset();
        }
    }
    out.result = SweepResult(std::move(points));
    return out;
}

std::uint32_t CheckedSweep::overloaded() const
{
    return static_cast<std::uint32_t>(std::count(overload.begin(), overload.end(), true));
}

std::optional<std::string> CheckedSweep::overload_text() const
{
    const std::uint32_t n = overloaded();
    if (n == 0) return std::nullopt;
    const auto &points = result.points();
    std::optional<double> least;
    std::size_t first = points.size(), last = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!overload[i]) continue;
        first = std::min(first, i);
        last = i;
        if (at_least_db[i] && (!least || *at_least_db[i] < *least)) least = at_least_db[i];
    }
    std::string text = "overload: " + std::to_string(n) + (n == 1 ? " point at " : " points from ") +
        format_frequency(points[first].frequency) + (n == 1 ? "" : " to " + format_frequency(points[last].frequency)) +
        ", the tone clipped at the ADC: the gain there is ";
    return text + at_least_text(least) +
        ", not measured; put an attenuator ahead of the device and give its loss as the offset";
}

std::string CheckedSweep::point_text(std::size_t i) const
{
    return "overload at " + format_frequency(result.points().at(i).frequency) + " (" +
        at_least_text(at_least_db.at(i)) + ")";
}

std::string at_least_text(const std::optional<double> &at_least_db)
{
    if (!at_least_db) return "above the detector's range";
    char db[32];
    std::snprintf(db, sizeof db, "at least %+.2f dB", *at_least_db);
    return db;
}

} // namespace snt
