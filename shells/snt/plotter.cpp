#include "shells/snt/plotter.h"

#include <plplot.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"

namespace snt {

namespace {

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
