#include "board/bench/dut_text.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <system_error>

#include "board/bench/touchstone.h"
#include "core/text/frequency_text.h"
#include "core/text/from_chars.h"

namespace sim {

namespace text {

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

bool parse_real(const std::string &text, double &out)
{
    const char *b = text.data(), *e = b + text.size();
    if (b != e && *b == '+') {
        ++b;
        if (b != e && *b == '-') return false;
    }
    if (b == e) return false;
    const auto r = snt_text::from_chars(b, e, out);
    return r.ec == std::errc() && r.ptr == e && std::isfinite(out);
}

} // namespace text

using text::lower;
using text::number;
using text::parse_real;
using text::quoted;

namespace {

bool ends_with_nocase(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && lower(s.substr(s.size() - tail.size())) == lower(tail);
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

// A positive number with an optional k, M or G multiplier (and, for a
// frequency, an optional "Hz"), read as snt reads frequencies; `field` names
// it in messages ("lowpass: cut-off frequency").
double scaled(const std::string &text, const std::string &field, bool frequency)
{
    const snt_text::Reading r = snt_text::read_scaled(text, frequency);
    const std::string head = field + " " + quoted(text);
    const char *example = frequency ? "e.g. 10.7M" : "e.g. 50k";
    const std::string not_positive = head + (frequency ? ": must be above 0 Hz" : ": must be above 0");
    switch (r.verdict) {
    case snt_text::Verdict::ok:
        break;
    case snt_text::Verdict::plus_sign:
        throw DutError(head + ": written without a sign (" + example + ")");
    case snt_text::Verdict::minus_sign:
        throw DutError(not_positive);
    case snt_text::Verdict::too_large:
        throw DutError(head + ": too large");
    case snt_text::Verdict::no_number:
    case snt_text::Verdict::bad_suffix:
    case snt_text::Verdict::milli:
        throw DutError(head + ": not a number (a k, M or G may follow, " + example + ")");
    }
    if (!(r.value > 0)) throw DutError(not_positive);
    return r.value;
}

// The device named by `device`, as written; its response is not checked.
std::unique_ptr<Dut> make_dut(const std::string &device, const TouchstoneSource &source)
{
    const std::size_t colon = device.find(':');
    const std::string kind = lower(device.substr(0, colon));
    if (kind == "touchstone") {
        if (colon == std::string::npos || colon + 1 == device.size()) {
            throw DutError("touchstone: expected touchstone:FILE, not " + quoted(device));
        }
        const std::string file = device.substr(colon + 1);
        touchstone::check_name(file);
        if (!source) throw DutError(touchstone::where(file) + ": no file can be read here");
        return touchstone::parse(file, source(file));
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
        return make_constant(1.0);
    }
    if (kind == "open") {
        expect(0, 0, "open");
        return make_constant(0.0);
    }
    if (kind == "atten") {
        expect(1, 1, "atten:DB");
        std::string t = args[0];
        if (ends_with_nocase(t, "db")) t.resize(t.size() - 2);
        double db = 0;
        if (!parse_real(t, db)) throw DutError("atten: attenuation " + quoted(args[0]) + ": not a number of decibels");
        if (db < 0) throw DutError("atten: attenuation " + quoted(args[0]) + ": must be 0 dB or more");
        return make_constant(std::pow(10.0, -db / 20));
    }
    if (kind == "lowpass" || kind == "highpass") {
        const bool high = kind == "highpass";
        expect(1, 2, high ? "highpass:FC[:ORDER]" : "lowpass:FC[:ORDER]");
        const double fc = scaled(args[0], kind + ": cut-off frequency", true);
        return make_butterworth(fc, order(1), high);
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
        return make_resonator(f0, bw, notch);
    }
    if (kind == "crystal") {
        expect(2, 2, "crystal:FS:Q");
        const double fs = scaled(args[0], "crystal: series resonance", true);
        const double q = scaled(args[1], "crystal: Q", false);
        return make_crystal(fs, q);
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

const char *dut_kinds()
{
    return "thru, open, atten:DB, lowpass:FC[:ORDER], highpass:FC[:ORDER], bandpass:F0:BW, notch:F0:BW, "
           "crystal:FS:Q, touchstone:FILE";
}

double parse_frequency(const std::string &text, const std::string &what) { return scaled(text, what, true); }

std::unique_ptr<Dut> parse_dut(const std::string &device, const TouchstoneSource &source)
{
    std::unique_ptr<Dut> dut = make_dut(device, source);
    check_response(*dut, device);
    return dut;
}

} // namespace sim
