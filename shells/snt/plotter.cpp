#include "shells/snt/plotter.h"

#include <plplot.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"

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

// PLplot ends the program when it cannot find a driver; ask it first.
bool has_driver(const char *name)
{
    std::vector<const char *> menu(128), names(128);
    const char **menu_p = menu.data();
    const char **names_p = names.data();
    int n = static_cast<int>(names.size()); // in: room for; out: how many
    plgDevs(&menu_p, &names_p, &n);
    for (int i = 0; i < n; ++i)
        if (std::string(names[i]) == name) return true;
    return false;
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

// PLplot's text escape character is '#'.
std::string escaped(const std::string &s)
{
    std::string out;
    for (char c : s) {
        if (c == '#') out += '#';
        out += c;
    }
    return out;
}

const char *driver_of(Plotter::Format format) { return format == Plotter::Format::Png ? "pngcairo" : "svg"; }

// A file that lives in memory, for PLplot to write into by name: it then
// never meets a full disk, which it would not report (and its PNG driver
// does not survive). We copy the bytes out with every write checked.
class MemoryFile {
public:
    MemoryFile()
    {
        fd_ = ::memfd_create("snt-plot", MFD_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error(std::string("cannot plot: no memory file: ") + std::strerror(errno));
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

    std::string contents() const
    {
        std::string out;
        char buf[65536];
        for (off_t at = 0;;) {
            const ssize_t n = ::pread(fd_, buf, sizeof buf, at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) throw std::runtime_error(std::string("cannot read the plot back: ") + std::strerror(errno));
            if (n == 0) return out;
            out.append(buf, static_cast<std::size_t>(n));
            at += n;
        }
    }

private:
    int fd_ = -1;
};

bool ends_with(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// A PNG ends with its IEND chunk, an SVG with its closing tag.
bool looks_whole(std::string image, Plotter::Format format)
{
    if (format == Plotter::Format::Png) {
        static const char kSignature[] = "\x89PNG\r\n\x1a\n";
        static const char kEnd[] = "\0\0\0\0IEND\xae\x42\x60\x82";
        return image.compare(0, 8, std::string(kSignature, 8)) == 0 && ends_with(image, std::string(kEnd, 12));
    }
    while (!image.empty() && std::isspace(static_cast<unsigned char>(image.back()))) image.pop_back();
    return image.find("<svg") != std::string::npos && ends_with(image, "</svg>");
}

} // namespace

void Plotter::check_driver(Format format)
{
    const char *driver = driver_of(format);
    if (!has_driver(driver))
        throw std::runtime_error(std::string("cannot plot: PLplot's ") + driver +
                                 " driver is not installed (Debian: plplot-driver-cairo)");
}

Plotter::Format Plotter::format_of(const std::string &path)
{
    const std::string e = extension(path);
    if (e == "png") return Format::Png;
    if (e == "svg") return Format::Svg;
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
        const auto r = std::from_chars(b, e, v);
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

std::string Plotter::title(const SweepResult &result, const std::string &dut)
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

std::string Plotter::render(const SweepResult &result, Format format, const std::string &title,
                            const std::string &y_label)
{
    PlotOptions options;
    options.title = title;
    options.y_label = y_label;
    return render({{"", result}}, format, options);
}

namespace {

constexpr int kFirstTrace = 4, kTraceCount = 8;

// A 1000 x 600 page with the colours: frame and text, grid, markers, and
// the traces (blue, then other colours that stay apart).
void start_page(const char *driver, const std::string &path)
{
    static const int kTraceColours[kTraceCount][3] = {{0, 90, 200},  {220, 120, 0}, {0, 150, 60},    {150, 40, 180},
                                                      {0, 160, 170}, {180, 60, 90}, {100, 100, 100}, {120, 90, 20}};
    plsdev(driver);
    plsfnam(path.c_str());
    plspage(0, 0, 1000, 600, 0, 0);
    plscolbg(255, 255, 255);
    plscol0(1, 0, 0, 0);       // frame and text: black
    plscol0(2, 200, 200, 200); // grid: light grey
    plscol0(3, 200, 30, 30);   // markers: red
    for (int i = 0; i < kTraceCount; ++i)
        plscol0(kFirstTrace + i, kTraceColours[i][0], kTraceColours[i][1], kTraceColours[i][2]);
    plinit();
}

void draw_axes(const PlotLayout &l, const PlotOptions &options)
{
    // The grid, then the frame with its dB labels; the frequency labels are
    // our own, so they have the digits the span needs.
    plcol0(2);
    plwidth(1);
    for (const auto &t : l.x_ticks) pljoin(t.x, l.y0, t.x, l.y1);
    for (double y = std::ceil(l.y0 / l.y_step) * l.y_step; y <= l.y1 + 1e-9; y += l.y_step) pljoin(l.x0, y, l.x1, y);
    plcol0(1);
    plbox("bc", 0, 0, "bcnstv", l.y_step, 0);
    const double tick = (l.y1 - l.y0) * 0.015;
    for (const auto &t : l.x_ticks) {
        pljoin(t.x, l.y0, t.x, l.y0 + tick);
        pljoin(t.x, l.y1, t.x, l.y1 - tick);
        // Labels at the very ends lean inwards, so they stay on the page.
        const double at = (t.x - l.x0) / (l.x1 - l.x0);
        plmtex("b", 1.5, at, at > 0.97 ? 1.0 : at < 0.03 ? 0.0 : 0.5, t.label.c_str());
    }
    pllab(escaped(l.x_label).c_str(), escaped(options.y_label).c_str(), escaped(options.title).c_str());
}

void draw_traces(const std::vector<Trace> &traces, const PlotLayout &l)
{
    plwidth(2);
    for (std::size_t i = 0; i < traces.size(); ++i) {
        plcol0(kFirstTrace + static_cast<int>(i % kTraceCount));
        std::vector<PLFLT> xs, ys;
        const auto draw = [&] {
            if (xs.size() == 1) {
                plpoin(1, xs.data(), ys.data(), 1);
            } else if (xs.size() > 1) {
                plline(static_cast<PLINT>(xs.size()), xs.data(), ys.data());
            }
            xs.clear();
            ys.clear();
        };
        for (const auto &p : traces[i].result.points()) {
            if (!p.db || *p.db < l.y0 - 1000 || *p.db > l.y1 + 1000) {
                draw();
                continue;
            }
            xs.push_back(l.x_of(p.frequency));
            ys.push_back(*p.db);
        }
        draw();
    }
}

void draw_markers(const PlotLayout &l)
{
    plcol0(3);
    plwidth(1);
    if (l.dashed_db) {
        pllsty(2);
        pljoin(l.x0, *l.dashed_db, l.x1, *l.dashed_db);
        pllsty(1);
    }
    const double dy = (l.y1 - l.y0) * 0.035;
    for (std::size_t i = 0; i < l.markers.size(); ++i) {
        const auto &m = l.markers[i];
        if (m.db < l.y0 || m.db > l.y1) continue;
        PLFLT x = m.x, y = m.db;
        plssym(0, 1.5);
        plpoin(1, &x, &y, 5);
        // The maximum's label above it, the -3 dB points' outside them.
        const bool lower = m.label == l.markers[std::min<std::size_t>(1, l.markers.size() - 1)].label && i == 1 &&
            l.dashed_db && m.db == *l.dashed_db && m.x < l.markers[0].x;
        const bool upper = i > 0 && l.dashed_db && m.db == *l.dashed_db && !lower;
        const double just = lower ? 1.12 : upper ? -0.12 : 0.5;
        const double at_y = i == 0 ? std::min(m.db + dy * 0.9, l.y1 - dy) : m.db - dy * 1.3;
        plptex(m.x, at_y, 1, 0, just, escaped(m.label).c_str());
    }
}

void draw_legend(const PlotLayout &l, bool several_traces)
{
    if (l.legend.empty()) return;
    const double right = l.box_right, top = l.box_top, w = l.box_right - l.box_left;
    PLFLT bx[] = {l.box_left, right, right, l.box_left, l.box_left};
    PLFLT by[] = {l.box_bottom, l.box_bottom, top, top, l.box_bottom};
    plcol0(0);
    plfill(4, bx, by);
    plcol0(1);
    plline(5, bx, by);
    for (std::size_t i = 0; i < l.legend.size(); ++i) {
        plcol0(several_traces ? kFirstTrace + static_cast<int>(i % kTraceCount) : 1);
        plptex(right - w + (l.x1 - l.x0) * 0.01, top - (l.y1 - l.y0) * (0.05 * i + 0.045), 1, 0, 0,
               escaped(l.legend[i]).c_str());
    }
}

void draw_note(const PlotLayout &l)
{
    if (!l.empty_note.empty()) {
        plcol0(3);
        plschr(0, 1.2);
        plptex((l.x0 + l.x1) / 2, (l.y0 + l.y1) / 2, 1, 0, 0.5, escaped(l.empty_note).c_str());
    }
}

} // namespace

std::string Plotter::render(const std::vector<Trace> &traces, Format format, const PlotOptions &options)
{
    check_driver(format);
    const MemoryFile file;
    const PlotLayout l = PlotLayout::of(traces, options);
    start_page(driver_of(format), file.path());
    pladv(0);
    plvpor(0.08, 0.97, 0.12, 0.92);
    plwind(l.x0, l.x1, l.y0, l.y1);
    plschr(0, 0.8);
    draw_axes(l, options);
    draw_traces(traces, l);
    draw_markers(l);
    draw_legend(l, traces.size() > 1);
    draw_note(l);
    plend();
    std::string image = file.contents();
    if (!looks_whole(image, format)) throw std::runtime_error("PLplot did not finish the plot");
    return image;
}

} // namespace snt
