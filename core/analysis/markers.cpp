#include "core/analysis/markers.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/analysis/frequency.h"

namespace snt {

namespace {

std::string signed_frequency(double hz) { return (hz < 0 ? "-" : "+") + format_frequency(std::fabs(hz)); }

} // namespace

MarkerReading read_marker(const std::vector<SweepPoint> &points, double hz, bool log_sweep)
{
    const std::string where = "marker at " + format_frequency(hz);
    if (points.empty()) throw InputError(where + ": the sweep has no points");
    const double first = points.front().frequency, last = points.back().frequency;
    if (!(hz >= first && hz <= last)) {
        throw InputError(where + " is outside the sweep (" + format_frequency(first) + " to " + format_frequency(last) +
                         ")");
    }
    const auto after = std::lower_bound(points.begin(), points.end(), hz,
                                        [](const SweepPoint &p, double f) { return p.frequency < f; });
    if (after->frequency == hz && after->db) return {hz, *after->db};
    const SweepPoint &hi = *after;
    const SweepPoint &lo = after == points.begin() ? hi : *(after - 1);
    if (!lo.db || !hi.db) {
        const SweepPoint &gap = lo.db ? hi : lo;
        throw InputError(where + ": the tester gave no level at " + format_frequency(gap.frequency) +
                         ", next to it (a gap in the sweep)");
    }
    double t = 0;
    if (log_sweep) {
        t = std::log(hz / lo.frequency) / std::log(static_cast<double>(hi.frequency) / lo.frequency);
    } else {
        t = (hz - lo.frequency) / (static_cast<double>(hi.frequency) - lo.frequency);
    }
    return {hz, *lo.db + t * (*hi.db - *lo.db)};
}

MarkerDelta marker_delta(const MarkerReading &from, const MarkerReading &to)
{
    return {to.frequency - from.frequency, to.db - from.db};
}

std::string marker_text(const MarkerReading &m)
{
    char db[32];
    std::snprintf(db, sizeof db, "%.2f dB", m.db);
    return db + std::string(" at ") + format_frequency(m.frequency);
}

std::string marker_delta_text(const MarkerDelta &d)
{
    char db[32];
    std::snprintf(db, sizeof db, "%+.2f dB", d.db);
    return signed_frequency(d.hz) + ", " + db;
}

} // namespace snt
