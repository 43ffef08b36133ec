#include "summary.h"

#include <cmath>
#include <cstdio>

#include "frequency.h"

namespace snt {

namespace {

// Where the straight line between (f0, d0) and (f1, d1) crosses `level`.
double crossing(double f0, double d0, double f1, double d1, double level)
{
    if (d1 == d0) return f0;
    return f0 + (level - d0) * (f1 - f0) / (d1 - d0);
}

std::string db_text(double db)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f dB", std::abs(db) < 0.005 ? 0.0 : db);  // no "-0.00"
    return buf;
}

} // namespace

Summary Summary::of(const SweepResult &result)
{
    Summary s;
    const auto &pts = result.points();
    std::optional<std::size_t> peak;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        if (!pts[i].db) continue;
        const double d = *pts[i].db, f = pts[i].frequency;
        if (!s.min || d < s.min->db) s.min = Extreme{f, d};
        if (!s.max || d > s.max->db) {
            s.max = Extreme{f, d};
            peak = i;
        }
    }
    if (!peak) return s;
    const double level = s.max->db - 3.0;
    const std::size_t p = *peak;

    // Walk out from the peak while the points stay above the -3 dB level.
    std::size_t lo = p, hi = p;
    while (lo > 0 && pts[lo - 1].db && *pts[lo - 1].db >= level) --lo;
    while (hi + 1 < pts.size() && pts[hi + 1].db && *pts[hi + 1].db >= level) ++hi;
    if (lo > 0 && pts[lo - 1].db)
        s.lower_3db = crossing(pts[lo - 1].frequency, *pts[lo - 1].db, pts[lo].frequency, *pts[lo].db, level);
    s.lower_gap = lo > 0 && !pts[lo - 1].db;
    s.upper_gap = hi + 1 < pts.size() && !pts[hi + 1].db;
    if (hi + 1 < pts.size() && pts[hi + 1].db)
        s.upper_3db = crossing(pts[hi].frequency, *pts[hi].db, pts[hi + 1].frequency, *pts[hi + 1].db, level);

    for (std::size_t i = 0; i < pts.size(); ++i) {
        if ((i < lo || i > hi) && pts[i].db && *pts[i].db >= level) {
            s.several_peaks = true;
            break;
        }
    }
    return s;
}

std::string Summary::text() const
{
    if (!max) return "no levels to summarise (every point is a gap)\n";
    std::string t;
    t += "maximum " + db_text(max->db) + " at " + format_frequency(max->frequency) + "\n";
    t += "minimum " + db_text(min->db) + " at " + format_frequency(min->frequency) + "\n";
    if (several_peaks) {
        t += "-3 dB points: not given, more than one stretch of the sweep lies within 3 dB of the maximum\n";
        return t;
    }
    const std::string below = lower_3db   ? format_frequency(*lower_3db)
                              : lower_gap ? "not found (a gap in the sweep below the maximum)"
                                          : "below the start of the sweep";
    const std::string above = upper_3db   ? format_frequency(*upper_3db)
                              : upper_gap ? "not found (a gap in the sweep above the maximum)"
                                          : "above the end of the sweep";
    if (!lower_3db && !upper_3db && !lower_gap && !upper_gap) {
        t += "-3 dB points: outside the sweep on both sides (within 3 dB of the maximum throughout)\n";
    } else {
        t += "-3 dB points: " + below + ", " + above + "\n";
        if (const auto bw = bandwidth()) t += "-3 dB bandwidth: " + format_frequency(*bw) + "\n";
    }
    return t;
}

} // namespace snt
