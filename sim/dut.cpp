#include "dut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Where a Touchstone magnitude of 0 goes on the dB scale.
constexpr double kFloorDb = -300.0;
// The model takes gains up to this (far beyond the ADC's range, which
// clips above +2.7 dB).
constexpr double kMaxGainDb = 100.0;
constexpr double kMaxGain = 1e5; // +100 dB

// Text from the command line or a file, fit for a one-line message.
std::string printable(const std::string &text)
{
    std::string s;
    for (char c : text) s += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    return s;
}

std::string quoted(const std::string &text) { return "\"" + printable(text) + "\""; }

std::string lower(std::string s)
{
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string number(double v)
{
    if (std::isnan(v)) return "nan";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// A finite decimal number, all of `text`; a leading '+' is allowed.
bool parse_real(const std::string &text, double &out)
{
    const char *b = text.data(), *e = b + text.size();
    if (b != e && *b == '+') {
        ++b;
        if (b != e && *b == '-') return false;
    }
    if (b == e) return false;
    const auto r = std::from_chars(b, e, out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == e && std::isfinite(out);
}

bool ends_with_nocase(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && lower(s.substr(s.size() - tail.size())) == lower(tail);
}

// A number with an optional k, M or G multiplier (and, for a frequency, an
// optional "Hz"); `field` names it in messages ("lowpass: cut-off frequency").
double scaled(const std::string &text, const std::string &field, bool frequency)
{
    std::string t = text;
    if (frequency && ends_with_nocase(t, "hz")) t.resize(t.size() - 2);
    double multiplier = 1;
    if (!t.empty()) {
        switch (t.back()) {
        case 'k':
        case 'K':
            multiplier = 1e3;
            break;
        case 'M':
            multiplier = 1e6;
            break;
        case 'G':
            multiplier = 1e9;
            break;
        default:
            break;
        }
        if (multiplier != 1) t.pop_back();
    }
    double v = 0;
    if (!parse_real(t, v)) {
        throw DutError(field + " " + quoted(text) + ": not a number (a k, M or G may follow" +
                       (frequency ? ", e.g. 10.7M)" : ", e.g. 50k)"));
    }
    v *= multiplier;
    if (!(v > 0) || !std::isfinite(v)) {
        throw DutError(field + " " + quoted(text) + (frequency ? ": must be above 0 Hz" : ": must be above 0"));
    }
    return v;
}

std::vector<std::string> split(const std::string &s, char sep)
{
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = s.find(sep, from);
        parts.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) return parts;
        from = at + 1;
    }
}

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        std::size_t j = i;
        while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j]))) ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

// ------------------------------------------------------------ the devices

class Constant final : public Dut {
public:
    explicit Constant(double g) : g_(g) {}
    double gain(double) const override { return g_; }

private:
    double g_;
};

class Butterworth final : public Dut {
public:
    Butterworth(double fc, int order, bool high) : fc_(fc), order_(order), high_(high) {}
    double gain(double hz) const override
    {
        const double f = std::fabs(hz);
        if (high_ && f == 0) return 0;
        const double ratio = high_ ? fc_ / f : f / fc_;
        return 1 / std::sqrt(1 + std::pow(ratio, 2 * order_));
    }

private:
    double fc_;
    int order_;
    bool high_;
};

// A series resonance seen as a band-pass, or its complement as a notch.
class Resonator final : public Dut {
public:
    Resonator(double f0, double bw, bool notch) : f0_(f0), q_(f0 / bw), notch_(notch) {}
    double gain(double hz) const override
    {
        if (hz <= 0) return notch_ ? 1 : 0;
        const double x = q_ * (hz / f0_ - f0_ / hz);
        if (notch_) return x == 0 ? 0 : 1 / std::sqrt(1 + 1 / (x * x));
        return 1 / std::sqrt(1 + x * x);
    }

private:
    double f0_, q_;
    bool notch_;
};

class Crystal final : public Dut {
public:
    Crystal(double fs, double q)
    {
        const double ws = 2 * kPi * fs;
        l1_ = q * kCrystalR1Ohms / ws;
        c1_ = 1 / (ws * ws * l1_);
    }
    double gain(double hz) const override
    {
        if (hz <= 0) return 0; // C0 and C1 block direct current
        const double w = 2 * kPi * hz;
        const std::complex<double> motional(kCrystalR1Ohms, w * l1_ - 1 / (w * c1_));
        const std::complex<double> shunt(0, -1 / (w * kCrystalC0Farads));
        const std::complex<double> z = motional * shunt / (motional + shunt);
        return std::abs(2 * kSystemOhms / (2 * kSystemOhms + z));
    }

private:
    double l1_ = 0, c1_ = 0;
};

// Points in frequency order, interpolated in dB, held flat beyond the ends.
class Table final : public Dut {
public:
    Table(std::vector<double> hz, std::vector<double> db) : hz_(std::move(hz)), db_(std::move(db)) {}
    double gain(double hz) const override
    {
        double db;
        if (hz <= hz_.front()) {
            db = db_.front();
        } else if (hz >= hz_.back()) {
            db = db_.back();
        } else {
            const std::size_t i = static_cast<std::size_t>(std::upper_bound(hz_.begin(), hz_.end(), hz) - hz_.begin());
            const double t = (hz - hz_[i - 1]) / (hz_[i] - hz_[i - 1]);
            db = db_[i - 1] + t * (db_[i] - db_[i - 1]);
        }
        return std::pow(10.0, db / 20);
    }

private:
    std::vector<double> hz_, db_;
};

// ------------------------------------------------------------ Touchstone

// What a Touchstone file may hold here: anything larger is not a two-port
// measurement but a mistake (a device, an endless file) that would only eat
// memory.
constexpr std::size_t kMaxFileBytes = 16u << 20;
constexpr std::size_t kMaxLineChars = 4096;
constexpr std::size_t kMaxPoints = 100'000;

std::string read_whole_file(const std::string &path, const std::string &where)
{
    // Not blocking on the open: a FIFO is refused at once, not waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw DutError(where + ": cannot open it: " + std::strerror(errno));
    std::string text;
    std::string error;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = std::string("cannot read it: ") + std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        error = std::string("cannot read it: ") + std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
    } else if (static_cast<std::uintmax_t>(st.st_size) > kMaxFileBytes) {
        error = std::to_string(st.st_size) + " bytes; a Touchstone file may have at most " +
                std::to_string(kMaxFileBytes);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    char buf[65536];
    while (error.empty()) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = std::string("cannot read it: ") + std::strerror(errno);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxFileBytes) {
            error = "more than the " + std::to_string(kMaxFileBytes) + " bytes a Touchstone file may have";
        }
    }
    ::close(fd);
    if (!error.empty()) throw DutError(where + ": " + error);
    return text;
}

// True for a file name ending in .sNp with N other than 2.
bool other_port_count(const std::string &path)
{
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    const std::string ext = lower(path.substr(dot + 1));
    if (ext.size() < 3 || ext.front() != 's' || ext.back() != 'p') return false;
    for (std::size_t i = 1; i + 1 < ext.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(ext[i]))) return false;
    }
    return ext != "s2p";
}

std::unique_ptr<Dut> load_touchstone(const std::string &path)
{
    const std::string where = "touchstone: " + printable(path);
    if (other_port_count(path)) throw DutError(where + ": only two-port files (.s2p) are read");
    const std::string text = read_whole_file(path, where);

    enum class Format { MA, DB, RI };
    double unit = 1e9;
    Format format = Format::MA;
    bool options_seen = false, noise = false;
    std::vector<double> hz, db, record;
    int line_no = 0, record_line = 0;

    const auto add_point = [&] {
        const std::string at = where + " line " + std::to_string(record_line);
        if (hz.size() >= kMaxPoints) {
            throw DutError(at + ": more than the " + std::to_string(kMaxPoints) + " points a file may have");
        }
        const double f = record[0] * unit;
        if (f < 0) throw DutError(at + ": negative frequency " + number(f) + " Hz");
        if (!std::isfinite(f)) throw DutError(at + ": frequency " + number(record[0]) + " is out of range");
        if (!hz.empty() && f <= hz.back()) {
            throw DutError(at + ": frequencies must increase (" + number(f) + " Hz after " + number(hz.back()) +
                           " Hz)");
        }
        double gain_db = kFloorDb;
        switch (format) {
        case Format::MA:
            if (record[3] != 0) gain_db = 20 * std::log10(std::fabs(record[3]));
            break;
        case Format::DB:
            gain_db = record[3];
            break;
        case Format::RI:
            if (const double m = std::hypot(record[3], record[4]); m != 0) gain_db = 20 * std::log10(m);
            break;
        }
        if (!(gain_db <= kMaxGainDb)) {
            throw DutError(at + ": |S21| " + number(record[3]) + " is above the +" + number(kMaxGainDb) +
                           " dB the model takes");
        }
        hz.push_back(f);
        db.push_back(std::max(gain_db, kFloorDb));
        record.clear();
    };

    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        ++line_no;
        if (end - pos > kMaxLineChars) {
            throw DutError(where + " line " + std::to_string(line_no) + ": longer than " +
                           std::to_string(kMaxLineChars) + " characters");
        }
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (const std::size_t bang = line.find('!'); bang != std::string::npos) line.erase(bang);
        std::vector<std::string> tokens = words(line);
        if (tokens.empty()) continue;
        const std::string at = where + " line " + std::to_string(line_no);

        if (tokens[0][0] == '#') {
            if (options_seen || !hz.empty() || !record.empty()) continue; // only the first, before the data
            options_seen = true;
            tokens[0].erase(0, 1);
            for (std::size_t i = 0; i < tokens.size(); ++i) {
                const std::string t = lower(tokens[i]);
                if (t.empty()) continue;
                if (t == "hz" || t == "khz" || t == "mhz" || t == "ghz") {
                    unit = t == "hz" ? 1 : t == "khz" ? 1e3 : t == "mhz" ? 1e6 : 1e9;
                } else if (t == "s") {
                } else if (t == "y" || t == "z" || t == "h" || t == "g") {
                    throw DutError(at + ": only S parameters are read, not " + printable(tokens[i]));
                } else if (t == "ma" || t == "db" || t == "ri") {
                    format = t == "ma" ? Format::MA : t == "db" ? Format::DB : Format::RI;
                } else if (t == "r") {
                    double z0 = 0;
                    if (i + 1 >= tokens.size() || !parse_real(tokens[i + 1], z0) || !(z0 > 0)) {
                        throw DutError(at + ": R must be followed by the reference impedance in ohms");
                    }
                    ++i;
                } else {
                    throw DutError(at + ": unknown option " + quoted(tokens[i]));
                }
            }
            continue;
        }
        if (tokens[0][0] == '[') throw DutError(at + ": keywords of Touchstone 2 are not read; use version 1");

        std::vector<double> values(tokens.size());
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            if (!parse_real(tokens[i], values[i])) throw DutError(at + ": " + quoted(tokens[i]) + " is not a number");
        }
        // The noise parameters start with a frequency not above the last one.
        if (!noise && record.empty() && !hz.empty() && values[0] * unit <= hz.back() && values.size() == 5) {
            noise = true;
        }
        if (noise) {
            if (values.size() != 5) throw DutError(at + ": a noise parameter line has 5 numbers");
            continue;
        }
        for (double v : values) {
            if (record.empty()) record_line = line_no;
            record.push_back(v);
            if (record.size() == 9) add_point();
        }
    }
    if (!record.empty()) {
        throw DutError(where + ": the last record has " + std::to_string(record.size()) + " of its 9 numbers");
    }
    if (hz.empty()) throw DutError(where + ": no data");
    return std::make_unique<Table>(std::move(hz), std::move(db));
}

} // namespace

const char *dut_kinds()
{
    return "thru, open, atten:DB, lowpass:FC[:ORDER], highpass:FC[:ORDER], bandpass:F0:BW, notch:F0:BW, "
           "crystal:FS:Q, touchstone:FILE";
}

double parse_frequency(const std::string &text, const std::string &what) { return scaled(text, what, true); }

namespace {

// The device named by `device`, as written; its response is not checked.
std::unique_ptr<Dut> make_dut(const std::string &device)
{
    const std::size_t colon = device.find(':');
    const std::string kind = lower(device.substr(0, colon));
    if (kind == "touchstone") {
        if (colon == std::string::npos || colon + 1 == device.size()) {
            throw DutError("touchstone: expected touchstone:FILE, not " + quoted(device));
        }
        return load_touchstone(device.substr(colon + 1));
    }
    const std::vector<std::string> args =
        colon == std::string::npos ? std::vector<std::string>{} : split(device.substr(colon + 1), ':');
    const auto expect = [&](std::size_t min, std::size_t max, const char *form) {
        if (args.size() < min || args.size() > max) {
            throw DutError(kind + ": expected " + form + ", not " + quoted(device));
        }
    };
    const auto order = [&](std::size_t i) {
        if (args.size() <= i) return 2;
        double v = 0;
        if (!parse_real(args[i], v) || v != std::floor(v) || v < 1 || v > 10) {
            throw DutError(kind + ": order " + quoted(args[i]) + ": must be a whole number from 1 to 10");
        }
        return static_cast<int>(v);
    };

    if (kind == "thru") {
        expect(0, 0, "thru");
        return std::make_unique<Constant>(1.0);
    }
    if (kind == "open") {
        expect(0, 0, "open");
        return std::make_unique<Constant>(0.0);
    }
    if (kind == "atten") {
        expect(1, 1, "atten:DB");
        std::string t = args[0];
        if (ends_with_nocase(t, "db")) t.resize(t.size() - 2);
        double db = 0;
        if (!parse_real(t, db)) throw DutError("atten: attenuation " + quoted(args[0]) + ": not a number of decibels");
        if (db < 0) throw DutError("atten: attenuation " + quoted(args[0]) + ": must be 0 dB or more");
        return std::make_unique<Constant>(std::pow(10.0, -db / 20));
    }
    if (kind == "lowpass" || kind == "highpass") {
        const bool high = kind == "highpass";
        expect(1, 2, high ? "highpass:FC[:ORDER]" : "lowpass:FC[:ORDER]");
        const double fc = scaled(args[0], kind + ": cut-off frequency", true);
        return std::make_unique<Butterworth>(fc, order(1), high);
    }
    if (kind == "bandpass" || kind == "notch") {
        const bool notch = kind == "notch";
        expect(2, 2, notch ? "notch:F0:BW" : "bandpass:F0:BW");
        const double f0 = scaled(args[0], kind + ": centre frequency", true);
        const double bw = scaled(args[1], kind + ": bandwidth", true);
        if (bw >= 2 * f0) {
            throw DutError(kind + ": bandwidth " + quoted(args[1]) + ": must be below twice the centre frequency");
        }
        // An infinite Q makes the response NaN right at F0, which the check
        // of the response below may step over.
        if (!std::isfinite(f0 / bw)) {
            throw DutError(kind + ": bandwidth " + quoted(args[1]) + ": too narrow for the centre frequency " +
                           quoted(args[0]) + " (Q = F0/BW must be finite)");
        }
        return std::make_unique<Resonator>(f0, bw, notch);
    }
    if (kind == "crystal") {
        expect(2, 2, "crystal:FS:Q");
        const double fs = scaled(args[0], "crystal: series resonance", true);
        const double q = scaled(args[1], "crystal: Q", false);
        return std::make_unique<Crystal>(fs, q);
    }
    throw DutError("unknown device under test " + quoted(device) + "; expected " + dut_kinds());
}

// Parameters that pass each on its own can still take a model beyond what
// double arithmetic holds (a crystal at 1e300 Hz with a Q of 1e300): the
// response is looked at across every frequency the synthesizer can make and
// far beyond, and a gain that is not a finite number from 0 to +100 dB
// refuses the device.
void check_response(const Dut &dut, const std::string &device)
{
    constexpr int kPerDecade = 100;
    constexpr double kFirstHz = 100.0, kDecades = 9; // 100 Hz to 100 GHz
    for (int i = 0; i <= kDecades * kPerDecade; ++i) {
        const double hz = kFirstHz * std::pow(10.0, static_cast<double>(i) / kPerDecade);
        const double g = dut.gain(hz);
        if (!(g >= 0) || !(g <= kMaxGain)) {
            const std::string kind = lower(device.substr(0, device.find(':')));
            throw DutError(kind + ": " + quoted(device) + " gives |S21| = " + number(g) + " at " + number(hz) +
                           " Hz; the model takes finite gains up to +" + number(kMaxGainDb) +
                           " dB (parameters out of range?)");
        }
    }
}

} // namespace

std::unique_ptr<Dut> parse_dut(const std::string &device)
{
    std::unique_ptr<Dut> dut = make_dut(device);
    check_response(*dut, device);
    return dut;
}

} // namespace sim
