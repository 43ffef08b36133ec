#include "plotter.h"

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

#include "frequency.h"

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
    int n = static_cast<int>(names.size());  // in: room for; out: how many
    plgDevs(&menu_p, &names_p, &n);
    for (int i = 0; i < n; ++i)
        if (std::string(names[i]) == name) return true;
    return false;
}

// A number for a title: "1", "10.7", "455".
std::string short_number(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4g", v);
    return buf;
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

Plotter::Format Plotter::format_of(const std::string &path)
{
    const std::string e = extension(path);
    if (e == "png") return Format::Png;
    if (e == "svg") return Format::Svg;
    throw InputError("--plot " + path + ": the file name must end in .png or .svg");
}

std::string Plotter::title(const SweepResult &result, const std::string &dut)
{
    const auto &pts = result.points();
    std::string t = "snt sweep";
    if (!pts.empty()) {
        const double lo = pts.front().frequency, hi = pts.back().frequency;
        const FrequencyUnit u = unit_for(hi);
        t += " " + short_number(lo / u.scale) + "\u2013" + short_number(hi / u.scale) + " " + u.name;
    }
    if (!dut.empty()) t += ", " + dut;
    return t;
}

std::string Plotter::render(const SweepResult &result, Format format, const std::string &title,
                            const std::string &y_label)
{
    check_driver(format);
    const char *driver = driver_of(format);
    const MemoryFile file;

    const auto &pts = result.points();
    const double f_lo = pts.empty() ? 0 : pts.front().frequency;
    const double f_hi = pts.empty() ? 1 : pts.back().frequency;
    const FrequencyUnit u = unit_for(f_hi);
    double x0 = f_lo / u.scale, x1 = f_hi / u.scale;
    if (x1 <= x0) {
        const double pad = std::max(std::abs(x0) * 1e-3, 1e-3);
        x0 -= pad;
        x1 += pad;
    }
    double y0 = 0, y1 = 0;
    bool any = false;
    for (const auto &p : pts) {
        if (!p.db) continue;
        y0 = any ? std::min(y0, *p.db) : *p.db;
        y1 = any ? std::max(y1, *p.db) : *p.db;
        any = true;
    }
    if (!any) {
        y0 = -100;
        y1 = 10;
    }
    // Whole 10 dB divisions around the data, at least 10 dB tall.
    y0 = std::floor((y0 - 1) / 10) * 10;
    y1 = std::ceil((y1 + 1) / 10) * 10;

    plsdev(driver);
    plsfnam(file.path().c_str());
    plspage(0, 0, 1000, 600, 0, 0);
    plscolbg(255, 255, 255);
    plscol0(1, 0, 0, 0);        // frame and text: black
    plscol0(2, 0, 90, 200);     // the trace: blue
    plscol0(3, 200, 200, 200);  // grid: light grey
    plinit();
    pladv(0);
    plvsta();
    plwind(x0, x1, y0, y1);
    plcol0(3);
    plbox("g", 0, 0, "g", 0, 0);
    plcol0(1);
    plbox("bcnst", 0, 0, "bcnstv", 0, 0);
    pllab(("frequency (" + std::string(u.name) + ")").c_str(), escaped(y_label).c_str(), escaped(title).c_str());

    plcol0(2);
    plwidth(2);
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
    for (const auto &p : pts) {
        if (!p.db) {
            draw();
            continue;
        }
        xs.push_back(p.frequency / u.scale);
        ys.push_back(*p.db);
    }
    draw();
    plend();
    std::string image = file.contents();
    if (!looks_whole(image, format)) throw std::runtime_error("PLplot did not finish the plot");
    return image;
}

} // namespace snt
