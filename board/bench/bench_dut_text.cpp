#include "board/bench/bench_dut_text.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <iterator>
#include <utility>
#include <vector>

#include "board/bench/dut_text.h"
#include "board/bench/one_port_file.h"
#include "core/text/frequency_text.h"

namespace sim {

using text::lower;
using text::number;
using text::parse_real;
using text::quoted;

namespace {

constexpr double kMaxP1dbDbm = 100;

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

std::string kind_of(const std::string &device) { return lower(device.substr(0, device.find(':'))); }

bool known_kind(const std::string &kind)
{
    static const char *const kKinds[] = {"thru",  "open",    "atten",      "lowpass",   "highpass", "bandpass",
                                         "notch", "crystal", "touchstone", "amplifier", "bridge",   "crystals"};
    return std::any_of(std::begin(kKinds), std::end(kKinds), [&](const char *k) { return kind == k; });
}

bool strip_suffix(std::string &s, const std::string &tail)
{
    if (s.size() < tail.size() || lower(s.substr(s.size() - tail.size())) != tail) return false;
    s.resize(s.size() - tail.size());
    return true;
}

// A number of decibels (`unit` "db" or "dbm" may follow), any sign.
double decibels(std::string t, const std::string &unit, const std::string &field)
{
    const std::string given = t;
    strip_suffix(t, unit);
    double v = 0;
    if (!parse_real(t, v)) throw DutError(field + " " + quoted(given) + ": not a number of decibels");
    return v;
}

// A resistance in ohms: 0 or more, k or M allowed, "ohm" or "ohms" may follow.
double ohms(std::string t, const std::string &field)
{
    const std::string given = t;
    if (!strip_suffix(t, "ohms")) strip_suffix(t, "ohm");
    const snt_text::Reading r = snt_text::read_scaled(t, false);
    if (r.verdict != snt_text::Verdict::ok) {
        throw DutError(field + " " + quoted(given) + ": not a resistance of 0 ohm or more (e.g. 75, 1k)");
    }
    return r.value;
}

// A component value of 0 or more: a p, n, u or m multiplier and the unit
// letter (H or F) may follow: 2.5uH, 100p, 1e-9.
double component(std::string t, char unit, const std::string &field)
{
    const std::string given = t;
    if (!t.empty() && std::tolower(static_cast<unsigned char>(t.back())) == unit) t.pop_back();
    double scale = 1;
    if (!t.empty()) {
        switch (t.back()) {
        case 'p':
            scale = 1e-12;
            break;
        case 'n':
            scale = 1e-9;
            break;
        case 'u':
            scale = 1e-6;
            break;
        case 'm':
            scale = 1e-3;
            break;
        default:
            break;
        }
        if (scale != 1) t.pop_back();
    }
    double v = 0;
    if (!parse_real(t, v) || v < 0) {
        throw DutError(field + " " + quoted(given) + ": not a value of 0 or more (e.g. 2.5u, 100pF)");
    }
    return v * scale;
}

std::unique_ptr<Dut> make_amplifier_text(const std::string &device, const std::vector<std::string> &args)
{
    if (args.empty() || args.size() > 2) {
        throw DutError("amplifier: expected amplifier:GAIN_DB[:P1DB_DBM], not " + quoted(device));
    }
    const double gain = decibels(args[0], "db", "amplifier: gain");
    if (std::fabs(gain) > kMaxGainDb) {
        throw DutError("amplifier: gain " + quoted(args[0]) + ": must be from -100 to +100 dB");
    }
    if (args.size() == 1) return make_amplifier(gain);
    const double p1db = decibels(args[1], "dbm", "amplifier: 1 dB compression point");
    if (std::fabs(p1db) > kMaxP1dbDbm) {
        throw DutError("amplifier: 1 dB compression point " + quoted(args[1]) + ": must be from -100 to +100 dBm");
    }
    return make_amplifier(gain, &p1db);
}

std::unique_ptr<OnePort> make_load(const std::string &device, const std::string &load, const TextLoader &read)
{
    const std::string kind = kind_of(load);
    if (load.empty()) throw DutError("bridge: expected bridge:LOAD, not " + quoted(device));
    if (kind == "open" && load.size() == 4) return make_open();
    if (kind == "short" && load.size() == 5) return make_short();
    if (kind == "rlc") {
        const std::vector<std::string> v = split(load, ':');
        if (v.size() != 4) throw DutError("bridge: expected bridge:rlc:R:L:C, not " + quoted(device));
        return make_series_rlc(ohms(v[1], "bridge: rlc: resistance"), component(v[2], 'h', "bridge: rlc: inductance"),
                               component(v[3], 'f', "bridge: rlc: capacitance"));
    }
    std::string path;
    if (kind == "touchstone" && load.size() > 11) path = load.substr(11);
    if (is_one_port_file(load)) path = load;
    if (!path.empty()) {
        if (!read) throw DutError("bridge: " + quoted(path) + ": no files can be read here");
        return parse_one_port(read(path), "bridge: " + text::printable(path));
    }
    if (!load.empty() && (std::isdigit(static_cast<unsigned char>(load[0])) || load[0] == '.')) {
        return make_resistor(ohms(load, "bridge: resistance"));
    }
    throw DutError("bridge: unknown load " + quoted(load) +
                   "; expected open, short, a resistance (75), rlc:R:L:C or a FILE.s1p");
}

std::unique_ptr<Dut> make_stage(const std::string &device, const TextLoader &read)
{
    const std::string kind = kind_of(device);
    const std::size_t colon = device.find(':');
    const std::string rest = colon == std::string::npos ? "" : device.substr(colon + 1);
    if (kind == "amplifier")
        return make_amplifier_text(device, colon == std::string::npos ? std::vector<std::string>{} : split(rest, ':'));
    if (kind == "bridge") return make_bridge(make_load(device, rest, read));
    if (kind == "crystals") {
        const CrystalBatch batch = parse_crystal_batch(device);
        const std::vector<std::string> args = split(rest, ':');
        std::size_t n = 1;
        if (args.size() == 3) {
            double v = 0;
            if (!parse_real(args[2], v) || v != std::floor(v) || v < 1 || v > static_cast<double>(batch.size())) {
                throw DutError("crystals: " + quoted(args[2]) +
                               ": the crystal in the fixture is a whole number from 1 to " +
                               std::to_string(batch.size()));
            }
            n = static_cast<std::size_t>(v);
        }
        return batch.make(n - 1);
    }
    return parse_dut(device);
}

// The pieces of a cascade: split at '+', where a piece that names no kind
// joins the one before it (a file name with a '+').
std::vector<std::string> cascade_pieces(const std::string &device)
{
    std::vector<std::string> pieces;
    for (std::string &piece : split(device, '+')) {
        if (piece.empty()) throw DutError("cascade " + quoted(device) + ": a device is missing next to a '+'");
        if (!pieces.empty() && !known_kind(kind_of(piece))) {
            pieces.back() += "+" + piece;
        } else {
            pieces.push_back(std::move(piece));
        }
    }
    return pieces;
}

// As parse_dut checks: every gain a finite number from 0 to +100 dB.
void check_response(const Dut &dut, const std::string &device)
{
    constexpr int kPerDecade = 100;
    constexpr double kFirstHz = 100.0, kDecades = 9; // 100 Hz to 100 GHz
    for (int i = 0; i <= kDecades * kPerDecade; ++i) {
        const double hz = kFirstHz * std::pow(10.0, static_cast<double>(i) / kPerDecade);
        const double g = dut.gain(hz);
        if (!(g >= 0) || !(g <= kMaxGain)) {
            throw DutError(text::printable(kind_of(device)) + ": " + quoted(device) + " gives |S21| = " + number(g) +
                           " at " + number(hz) + " Hz; the model takes finite gains up to +" + number(kMaxGainDb) +
                           " dB (parameters out of range?)");
        }
    }
}

} // namespace

std::unique_ptr<Dut> parse_bench_dut(const std::string &device, const TextLoader &load)
{
    std::vector<std::string> pieces = cascade_pieces(device);
    std::unique_ptr<Dut> dut;
    if (pieces.size() == 1) {
        dut = make_stage(pieces[0], load);
    } else {
        std::vector<std::unique_ptr<Dut>> stages;
        for (const std::string &piece : pieces) {
            stages.push_back(make_stage(piece, load));
            check_response(*stages.back(), piece);
        }
        dut = make_cascade(std::move(stages));
    }
    check_response(*dut, device);
    return dut;
}

CrystalBatch parse_crystal_batch(const std::string &device)
{
    const std::size_t colon = device.find(':');
    const std::vector<std::string> args =
        colon == std::string::npos ? std::vector<std::string>{} : split(device.substr(colon + 1), ':');
    if (kind_of(device) != "crystals" || args.size() < 2 || args.size() > 3) {
        throw DutError("crystals: expected crystals:FS,FS,...:Q[:N], not " + quoted(device));
    }
    std::vector<double> fs;
    for (const std::string &f : split(args[0], ',')) fs.push_back(parse_frequency(f, "crystals: series resonance"));
    const snt_text::Reading q = snt_text::read_scaled(args[1], false);
    if (q.verdict != snt_text::Verdict::ok || !(q.value > 0)) {
        throw DutError("crystals: Q " + quoted(args[1]) + ": must be a number above 0 (e.g. 50k)");
    }
    return CrystalBatch(std::move(fs), q.value);
}

const char *bench_dut_kinds()
{
    return "A+B+... (a cascade), amplifier:GAIN_DB[:P1DB_DBM], bridge:LOAD (open, short, OHMS, rlc:R:L:C, FILE.s1p), "
           "crystals:FS,FS,...:Q[:N]";
}

} // namespace sim
