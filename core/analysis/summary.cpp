#include "core/analysis/summary.h"

#include <cmath>
#include <cstdio>

#include "core/analysis/frequency.h"

namespace snt {

namespace {

// Where the straight line between (f0, d0) and (f1, d1) crosses `level`.
double crossing(double f0, double d0, double f1, double d1, double level)
{
    if (d1 == d0) return f0;
    return f0 + (level - d0) * (f1 - f0) / (d1 - d0);
}

// From point `from`, walks outwards while `inside` holds for each point's
// dB; gives the interpolated crossing of `level` on either side, and the
// first and last index of the stretch walked.
template <typename Inside>
Crossings walk(const std::vector<SweepPoint> &pts, std::size_t from, double level, Inside inside,
               std::size_t *first = nullptr, std::size_t *last = nullptr)
{
    Crossings c;
    std::size_t lo = from, hi = from;
    while (lo > 0 && pts[lo - 1].db && inside(*pts[lo - 1].db)) --lo;
    while (hi + 1 < pts.size() && pts[hi + 1].db && inside(*pts[hi + 1].db)) ++hi;
    if (lo > 0 && pts[lo - 1].db)
        c.lower = crossing(pts[lo - 1].frequency, *pts[lo - 1].db, pts[lo].frequency, *pts[lo].db, level);
    if (hi + 1 < pts.size() && pts[hi + 1].db)
        c.upper = crossing(pts[hi].frequency, *pts[hi].db, pts[hi + 1].frequency, *pts[hi + 1].db, level);
    c.lower_gap = lo > 0 && !pts[lo - 1].db;
    c.upper_gap = hi + 1 < pts.size() && !pts[hi + 1].db;
    if (first) *first = lo;
    if (last) *last = hi;
    return c;
}

std::string side_text(const std::optional<double> &at, bool gap, const char *where_gap, const char *edge)
{
    if (at) return format_frequency(*at);
    if (gap) return std::string("not found (a gap in the sweep ") + where_gap + ")";
    return edge;
}

std::string ratio_text(double v, const char *format)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

} // namespace

std::string db_text(double db)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f dB", std::abs(db) < 0.005 ? 0.0 : db); // no "-0.00"
    return buf;
}

Summary Summary::of(const SweepResult &result)
{
    Summary s;
    const auto &pts = result.points();
    std::optional<std::size_t> peak, dip;
    const double noisy_below = kNoiseFloorLevel * std::pow(10.0, kNoiseMarginDb / 10);
    for (std::size_t i = 0; i < pts.size(); ++i) {
        if (pts[i].level && *pts[i].level < noisy_below) ++s.noisy_points;
        if (!pts[i].db) continue;
        const double d = *pts[i].db, f = pts[i].frequency;
        if (!s.min || d < s.min->db) {
            s.min = Extreme{f, d};
            dip = i;
        }
        if (!s.max || d > s.max->db) {
            s.max = Extreme{f, d};
            peak = i;
        }
    }
    if (!peak) return s;
    s.min_near_floor = pts[*dip].level && *pts[*dip].level < noisy_below;
    const double top = s.max->db;
    const std::size_t p = *peak;

    std::size_t lo = p, hi = p;
    const Crossings c3 = walk(
        pts, p, top - 3, [&](double d) { return d >= top - 3; }, &lo, &hi);
    s.lower_3db = c3.lower;
    s.upper_3db = c3.upper;
    s.lower_gap = c3.lower_gap;
    s.upper_gap = c3.upper_gap;
    s.points_in_bandwidth = static_cast<std::uint32_t>(hi - lo + 1);
    for (std::size_t i = 0; i < pts.size(); ++i) {
        if ((i < lo || i > hi) && pts[i].db && *pts[i].db >= top - 3) {
            s.several_peaks = true;
            break;
        }
    }
    if (!s.several_peaks) {
        s.minus6 = walk(pts, p, top - 6, [&](double d) { return d >= top - 6; });
        s.minus60 = walk(pts, p, top - 60, [&](double d) { return d >= top - 60; });
    }

    // A notch: both ends of the sweep stay within 3 dB of the maximum and
    // the dip between them goes at least 10 dB deeper.
    std::optional<std::size_t> first_db, last_db;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        if (!pts[i].db) continue;
        if (!first_db) first_db = i;
        last_db = i;
    }
    const std::size_t d = *dip;
    if (d != *first_db && d != *last_db && *pts[*first_db].db >= top - 3 && *pts[*last_db].db >= top - 3 &&
        top - s.min->db >= 10) {
        Notch n;
        n.frequency = s.min->frequency;
        n.depth = top - s.min->db;
        n.stop = walk(pts, d, top - 3, [&](double v) { return v < top - 3; });
        s.notch = n;
    }
    return s;
}

std::optional<double> Summary::centre() const
{
    if (const auto bw = bandwidth()) return *lower_3db + *bw / 2;
    return std::nullopt;
}

std::optional<double> Summary::q() const
{
    const auto bw = bandwidth();
    if (!bw || *bw <= 0) return std::nullopt;
    return *centre() / *bw;
}

std::optional<double> Summary::shape_factor() const
{
    const auto w6 = minus6.width(), w60 = minus60.width();
    if (!w6 || !w60 || *w6 <= 0) return std::nullopt;
    return *w60 / *w6;
}

std::optional<std::string> Summary::finer_sweep() const
{
    const auto bw = bandwidth();
    if (!bw || *bw <= 0 || points_in_bandwidth >= kMinPointsInBandwidth) return std::nullopt;
    const double c = *centre();
    const double start = std::max(std::round(c - 2.5 * *bw), static_cast<double>(kMinFrequency));
    const double stop = std::min(std::round(c + 2.5 * *bw), static_cast<double>(kMaxFrequency));
    char buf[128];
    std::snprintf(buf, sizeof buf, "snt sweep --start %.0f --stop %.0f --points 251", start, stop);
    return std::string(buf);
}

std::string Summary::text() const
{
    if (!max) return "no levels to summarise (every point is a gap)\n";
    std::string t;
    t += "maximum " + db_text(max->db) + " at " + format_frequency(max->frequency) + "\n";
    t += "minimum " + db_text(min->db) + " at " + format_frequency(min->frequency);
    if (min_near_floor)
        t += " (within " + ratio_text(kNoiseMarginDb, "%.0f") +
            " dB of the tester's noise floor: the true attenuation may be greater)";
    t += "\n";
    if (notch) {
        t += "notch: " + db_text(notch->depth) + " deep at " + format_frequency(notch->frequency) + "\n";
        t += "-3 dB stop band: " +
            side_text(notch->stop.lower, notch->stop.lower_gap, "below the notch", "below the start of the sweep") +
            ", " +
            side_text(notch->stop.upper, notch->stop.upper_gap, "above the notch", "above the end of the sweep") + "\n";
        if (const auto w = notch->stop.width()) t += "-3 dB stop width: " + format_frequency(*w) + "\n";
    }
    if (several_peaks) {
        if (!notch)
            t += "-3 dB points: not given, more than one stretch of the sweep lies within 3 dB of the maximum\n";
        return t;
    }
    const std::string below = side_text(lower_3db, lower_gap, "below the maximum", "below the start of the sweep");
    const std::string above = side_text(upper_3db, upper_gap, "above the maximum", "above the end of the sweep");
    if (!lower_3db && !upper_3db && !lower_gap && !upper_gap) {
        t += "-3 dB points: outside the sweep on both sides (within 3 dB of the maximum throughout)\n";
        return t;
    }
    t += "-3 dB points: " + below + ", " + above + "\n";
    const auto bw = bandwidth();
    if (!bw) return t;
    t += "-3 dB bandwidth: " + format_frequency(*bw) + "\n";
    t += "centre " + format_frequency(*centre());
    if (const auto quality = q()) t += ", Q " + ratio_text(*quality, "%.4g");
    t += "\n";
    if (const auto w6 = minus6.width()) t += "-6 dB bandwidth: " + format_frequency(*w6) + "\n";
    if (const auto w60 = minus60.width()) {
        t += "-60 dB bandwidth: " + format_frequency(*w60);
        if (const auto sf = shape_factor()) t += ", shape factor (60/6 dB) " + ratio_text(*sf, "%.3g");
        t += "\n";
    }
    if (const auto finer = finer_sweep()) {
        t += "warning: the -3 dB bandwidth spans only " + std::to_string(points_in_bandwidth) +
            (points_in_bandwidth == 1 ? " point" : " points") +
            ": too coarse to resolve it (the peak reads low and the bandwidth wide); for a finer sweep:\n  " + *finer +
            "\n";
    }
    return t;
}

} // namespace snt
