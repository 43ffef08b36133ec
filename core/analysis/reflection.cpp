#include "core/analysis/reflection.h"

#include <cmath>
#include <cstdio>

#include "core/analysis/frequency.h"

namespace snt {

namespace {

std::string fixed(double v, const char *format)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// Where the return loss crosses `limit_rl` between point `inside` (above
// it) and its neighbour `outside` (at or below it).
double crossing(const ReflectionPoint &inside, const ReflectionPoint &outside, double limit_rl)
{
    const double t = (*inside.rl_db - limit_rl) / (*inside.rl_db - *outside.rl_db);
    return inside.frequency + t * (static_cast<double>(outside.frequency) - inside.frequency);
}

} // namespace

std::optional<double> swr_of_return_loss(double rl_db)
{
    if (!(rl_db > 0)) return std::nullopt;
    const double g = std::pow(10.0, -rl_db / 20);
    return (1 + g) / (1 - g);
}

double return_loss_of_swr(double swr) { return -20 * std::log10((swr - 1) / (swr + 1)); }

Reflection Reflection::of(const SweepResult &normalised, double swr_limit)
{
    if (!(swr_limit > 1) || !std::isfinite(swr_limit)) {
        throw InputError("SWR limit " + fixed(swr_limit, "%g") + ": must be a number above 1");
    }
    Reflection r;
    r.swr_limit = swr_limit;
    for (const SweepPoint &p : normalised.points()) {
        ReflectionPoint q{p.frequency, p.level, std::nullopt, std::nullopt};
        if (p.db) {
            q.rl_db = -*p.db;
            q.swr = swr_of_return_loss(*q.rl_db);
        }
        if (q.rl_db && (!r.best || *q.rl_db > *r.points[*r.best].rl_db)) r.best = r.points.size();
        r.points.push_back(q);
    }
    if (!r.best) return r;
    const double limit_rl = return_loss_of_swr(swr_limit);
    const std::size_t b = *r.best;
    if (!(*r.points[b].rl_db > limit_rl)) return r;
    Band band;
    std::size_t lo = b, hi = b;
    const auto inside = [&](std::size_t i) { return r.points[i].rl_db && *r.points[i].rl_db > limit_rl; };
    while (lo > 0 && inside(lo - 1)) --lo;
    while (hi + 1 < r.points.size() && inside(hi + 1)) ++hi;
    band.lower_open = lo == 0 || !r.points[lo - 1].rl_db;
    band.upper_open = hi + 1 == r.points.size() || !r.points[hi + 1].rl_db;
    band.lower = band.lower_open ? r.points[lo].frequency : crossing(r.points[lo], r.points[lo - 1], limit_rl);
    band.upper = band.upper_open ? r.points[hi].frequency : crossing(r.points[hi], r.points[hi + 1], limit_rl);
    r.band = band;
    return r;
}

std::string Reflection::text() const
{
    if (!best) return "no return loss to summarise (every point is a gap)\n";
    const ReflectionPoint &b = points[*best];
    std::string t = "best match: ";
    t += b.swr ? "SWR " + fixed(*b.swr, "%.2f") : std::string("no SWR (the load reflects all)");
    t += ", return loss " + fixed(*b.rl_db, "%.2f") + " dB at " + format_frequency(b.frequency) + "\n";
    const std::string limit = "SWR below " + fixed(swr_limit, "%g");
    if (!band) return t + limit + ": nowhere in the sweep\n";
    const std::string lower =
        format_frequency(band->lower) + (band->lower_open ? " (or below: the sweep's end or a gap)" : "");
    const std::string upper =
        format_frequency(band->upper) + (band->upper_open ? " (or above: the sweep's end or a gap)" : "");
    t += limit + ": " + lower + " to " + upper + ", " + format_frequency(band->upper - band->lower) + " wide\n";
    return t;
}

std::string Reflection::csv() const
{
    std::string out = "frequency_hz,level,db,rl_db,swr\n";
    for (const ReflectionPoint &p : points) {
        out += std::to_string(p.frequency) + ',';
        if (p.level) out += fixed(*p.level, "%.2f");
        out += ',';
        if (p.rl_db)
            out += fixed(-*p.rl_db, "%.3f") + ',' + fixed(*p.rl_db, "%.3f");
        else
            out += ',';
        out += ',';
        if (p.swr) out += fixed(*p.swr, "%.4f");
        out += '\n';
    }
    return out;
}

} // namespace snt
