#include "shells/snt/plot_layout.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "core/text/from_chars.h"

namespace snt {

namespace {

std::string extension(const std::string &path)
{
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string e = path.substr(dot + 1);
    for (char &c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return e;
}

// A number of the unit to the hertz, trailing zeros dropped: "1", "10.7",
// "10.001234".
std::string exact_number(double v, double scale)
{
    const int decimals = scale >= 1e6 ? 6 : scale >= 1e3 ? 3 : 0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v / scale);
    std::string t = buf;
    if (t.find('.') != std::string::npos) {
        t.erase(t.find_last_not_of('0') + 1);
        if (t.back() == '.') t.pop_back();
    }
    return t;
}

// A round step giving about `target` divisions of `span`: 1, 2 or 5 times
// a power of ten.
double nice_step(double span, double target)
{
    const double raw = span / target;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0}) {
        if (m * mag >= raw * (1 - 1e-9)) return m * mag;
    }
    return 10 * mag;
}

// Decimals that tell ticks `step` apart.
int decimals_for(double step) { return std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9))); }

std::string fixed(double v, int decimals)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, std::abs(v) < 0.5 * std::pow(10.0, -decimals) ? 0.0 : v);
    return buf;
}

std::string db_text(double db) { return fixed(db, 2) + " dB"; }

} // namespace

PlotFormat plot_format_of(const std::string &path)
{
    const std::string e = extension(path);
    if (e == "png") return PlotFormat::Png;
    if (e == "svg") return PlotFormat::Svg;
    throw InputError("--plot " + path + ": the file name must end in .png or .svg");
}

std::pair<double, double> parse_ylim(const std::string &text)
{
    const auto bad = [&] {
        return InputError("--ylim: \"" + text + "\" is not LOW:HIGH in dB with LOW below HIGH (e.g. --ylim=-80:10)");
    };
    const auto colon = text.find(':');
    if (colon == std::string::npos) throw bad();
    const auto number = [&](const std::string &t) {
        double v = 0;
        const char *b = t.data(), *e = t.data() + t.size();
        if (!t.empty() && *b == '+') ++b;
        const auto r = snt_text::from_chars(b, e, v);
        if (t.empty() || r.ec != std::errc() || r.ptr != e || !std::isfinite(v)) throw bad();
        return v;
    };
    const double lo = number(text.substr(0, colon)), hi = number(text.substr(colon + 1));
    if (!(lo < hi)) throw bad();
    return {lo, hi};
}

double PlotLayout::x_of(double hz) const { return log_x ? std::log10(std::max(hz, 1.0)) : hz / unit.scale; }

// The frequency axis on a logarithmic scale, from f_lo to f_hi hertz.
void PlotLayout::set_log_frequency_axis(double f_lo, double f_hi)
{
    x_label = "frequency (logarithmic)";
    x0 = std::log10(std::max(f_lo, 1.0));
    x1 = std::log10(std::max(f_hi, 1.0));
    if (x1 <= x0) {
        x0 -= 0.01;
        x1 += 0.01;
    }
    const double decades = x1 - x0;
    // About a dozen labels at most: 1, 2, 5 per decade over three
    // decades, only the decades beyond.
    const std::vector<double> mantissas = decades > 3.2 ? std::vector<double>{1}
        : decades > 1.2                                 ? std::vector<double>{1, 2, 5}
                                                        : std::vector<double>{1, 1.5, 2, 3, 4, 5, 6, 7, 8, 9};
    for (int k = static_cast<int>(std::floor(x0)); k <= static_cast<int>(std::ceil(x1)); ++k) {
        for (const double m : mantissas) {
            const double hz = m * std::pow(10.0, k);
            const double x = std::log10(hz);
            if (x < x0 - 1e-9 || x > x1 + 1e-9) continue;
            x_ticks.push_back({x, format_frequency(hz)});
        }
    }
}

// The frequency axis in the unit chosen for the range.
void PlotLayout::set_linear_frequency_axis(double f_lo, double f_hi)
{
    x_label = std::string("frequency (") + unit.name + ")";
    x0 = f_lo / unit.scale;
    x1 = f_hi / unit.scale;
    if (x1 <= x0) {
        const double pad = std::max(std::abs(x0) * 1e-3, 1e-3);
        x0 -= pad;
        x1 += pad;
    }
    const double step = nice_step(x1 - x0, 8);
    const int decimals = decimals_for(step);
    for (double k = std::ceil(x0 / step - 1e-9); k <= std::floor(x1 / step + 1e-9); ++k)
        x_ticks.push_back({k * step, fixed(k * step, decimals)});
}

PlotLayout PlotLayout::of(const std::vector<Trace> &traces, const PlotOptions &options)
{
    PlotLayout l;
    l.log_x = options.log_x;
    double f_lo = 0, f_hi = 0;
    bool any_frequency = false, any_db = false;
    double d_lo = 0, d_hi = 0;
    for (const auto &t : traces) {
        for (const auto &p : t.result.points()) {
            f_lo = any_frequency ? std::min<double>(f_lo, p.frequency) : p.frequency;
            f_hi = any_frequency ? std::max<double>(f_hi, p.frequency) : p.frequency;
            any_frequency = true;
            if (!p.db) continue;
            d_lo = any_db ? std::min(d_lo, *p.db) : *p.db;
            d_hi = any_db ? std::max(d_hi, *p.db) : *p.db;
            any_db = true;
        }
    }
    if (!any_frequency) {
        f_lo = 1e6;
        f_hi = 2e6;
    }
    if (!any_db) l.empty_note = "no data: every point is a gap (the tester could not make these frequencies)";
    l.unit = unit_for(f_hi);

    if (l.log_x)
        l.set_log_frequency_axis(f_lo, f_hi);
    else
        l.set_linear_frequency_axis(f_lo, f_hi);

    // The dB axis: the range asked for, or whole 10 dB divisions around the
    // data, at least 10 dB tall.
    if (options.ylim) {
        l.y0 = options.ylim->first;
        l.y1 = options.ylim->second;
        l.y_step = nice_step(l.y1 - l.y0, 9);
    } else {
        if (any_db) {
            l.y0 = std::floor((d_lo - 1) / 10) * 10;
            l.y1 = std::ceil((d_hi + 1) / 10) * 10;
        }
        l.y_step = nice_step(l.y1 - l.y0, 6);
    }

    if (traces.size() > 1) {
        for (const auto &t : traces) l.legend.push_back(t.name);
    } else if (!traces.empty() && any_db) {
        l.add_figures(Summary::of(traces.front().result));
    }
    l.place_legend(traces);
    return l;
}

void PlotLayout::place_legend(const std::vector<Trace> &traces)
{
    if (legend.empty()) return;
    std::size_t widest = 0;
    for (const auto &line : legend) widest = std::max(widest, line.size());
    const double xs = x1 - x0, ys = y1 - y0;
    const double w = xs * (0.0108 * widest + 0.02), h = ys * (0.05 * legend.size() + 0.02);
    double best = -1;
    for (const bool right : {true, false}) {
        for (const bool top : {true, false}) {
            const double r = right ? x1 - xs * 0.01 : x0 + xs * 0.01 + w;
            const double t = top ? y1 - ys * 0.02 : y0 + ys * 0.02 + h;
            const auto inside = [&](double x, double y) {
                return x >= r - w - xs * 0.02 && x <= r && y >= t - h - ys * 0.05 && y <= t + ys * 0.02;
            };
            double cost = 0;
            for (const auto &tr : traces)
                for (const auto &p : tr.result.points())
                    if (p.db && inside(x_of(p.frequency), *p.db)) cost += 1;
            for (const auto &m : markers) {
                if (inside(m.x, m.db)) cost += 1e6;
                if (inside(m.x, m.db + ys * 0.04)) cost += 1e6;
            }
            if (best < 0 || cost < best) {
                best = cost;
                box_right = r;
                box_left = r - w;
                box_top = t;
                box_bottom = t - h;
            }
        }
    }
}

void PlotLayout::add_figures(const Summary &s)
{
    PlotLayout &l = *this;
    if (!s.max) return;
    l.markers.push_back({l.x_of(s.max->frequency), s.max->db,
                         "max " + db_text(s.max->db) + " at " + format_frequency(s.max->frequency)});
    if (!s.several_peaks && (s.lower_3db || s.upper_3db)) {
        l.dashed_db = s.max->db - 3;
        if (s.lower_3db) l.markers.push_back({l.x_of(*s.lower_3db), *l.dashed_db, format_frequency(*s.lower_3db)});
        if (s.upper_3db) l.markers.push_back({l.x_of(*s.upper_3db), *l.dashed_db, format_frequency(*s.upper_3db)});
    }
    if (const auto bw = s.bandwidth()) {
        l.legend.push_back("-3 dB bandwidth " + format_frequency(*bw));
        char q[32];
        std::snprintf(q, sizeof q, "%.4g", s.q().value_or(0));
        l.legend.push_back("centre " + format_frequency(*s.centre()) + ", Q " + q);
        if (const auto w6 = s.minus6.width()) l.legend.push_back("-6 dB bandwidth " + format_frequency(*w6));
        if (const auto w60 = s.minus60.width()) l.legend.push_back("-60 dB bandwidth " + format_frequency(*w60));
        if (const auto sf = s.shape_factor()) {
            char b[32];
            std::snprintf(b, sizeof b, "%.3g", *sf);
            l.legend.push_back(std::string("shape factor (60/6 dB) ") + b);
        }
        if (s.finer_sweep())
            l.legend.push_back("too coarse: " + std::to_string(s.points_in_bandwidth) + " points within -3 dB");
    }
    if (s.notch) {
        l.markers.push_back({l.x_of(s.notch->frequency), s.min->db,
                             "notch " + db_text(s.min->db) + " at " + format_frequency(s.notch->frequency)});
        l.legend.push_back("notch depth " + db_text(s.notch->depth));
        if (const auto w = s.notch->stop.width()) l.legend.push_back("-3 dB stop width " + format_frequency(*w));
    }
    if (s.min_near_floor) l.legend.push_back("minimum within 10 dB of the noise floor");
}

std::string plot_title(const SweepResult &result, const std::string &dut)
{
    const auto &pts = result.points();
    std::string t = "snt sweep";
    if (!pts.empty()) {
        const double lo = pts.front().frequency, hi = pts.back().frequency;
        const FrequencyUnit u = unit_for(hi);
        if (unit_for(lo).scale == u.scale) {
            t += " " + exact_number(lo, u.scale) + "\u2013" + exact_number(hi, u.scale) + " " + u.name;
        } else {
            t += " " + format_frequency(lo) + " \u2013 " + format_frequency(hi);
        }
    }
    if (!dut.empty()) t += ", " + dut;
    return t;
}

} // namespace snt
