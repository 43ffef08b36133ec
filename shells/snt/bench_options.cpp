#include "shells/snt/bench_options.h"

#include <cmath>

#include "core/analysis/frequency.h"
#include "core/text/from_chars.h"
#include "core/text/text.h"

namespace snt {

namespace {

// Sweeps one --average may ask for: a day's worth of short sweeps.
constexpr std::uint32_t kMaxAverage = 10000;
// Crystals one --batch may hold.
constexpr std::uint32_t kMaxBatch = 1000;

// A finite decimal number, all of `text`, with an optional sign.
std::optional<double> real_number(const std::string &text)
{
    const char *b = text.data(), *e = text.data() + text.size();
    if (b != e && *b == '+') ++b;
    double v = 0;
    const auto r = snt_text::from_chars(b, e, v);
    if (b == e || r.ec != std::errc() || r.ptr != e || !std::isfinite(v)) return std::nullopt;
    return v;
}

double number_in(const std::string &text, const std::string &option, double low, double high, const char *what)
{
    const auto v = real_number(text);
    if (!v || *v < low || *v > high) throw InputError(option + " " + in_quotes(text) + ": " + what);
    return *v;
}

std::uint32_t count_in(const std::string &text, const std::string &option, std::uint32_t high)
{
    const std::uint32_t n = parse_count(text, option);
    if (n > high) throw InputError(option + " " + in_quotes(text) + ": at most " + std::to_string(high));
    return n;
}

std::vector<std::string> split(const std::string &text, char sep)
{
    std::vector<std::string> out(1);
    for (const char c : text) {
        if (c == sep) {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

bool is_crystals(const std::string &dut)
{
    std::string kind = dut.substr(0, dut.find(':'));
    for (char &c : kind) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return kind == "crystals" && dut.find('+') == std::string::npos;
}

} // namespace

void add_sweep_job_options(CLI::App &sweep, BenchRaw &r)
{
    sweep
        .add_option("--average", r.average,
                    "Make N sweeps and give the mean of each point's level (in power, not in dB)")
        ->type_name("N");
    sweep
        .add_option("--marker", r.markers,
                    "Print the dB at F after the summary (interpolated as the plot draws it); repeatable")
        ->type_name("F");
    sweep.add_flag("--off-after", r.off_after, "Switch all outputs off after the sweep, however it ends");
    sweep
        .add_option("--offset", r.offset,
                    "Add DB to every dB value (the loss of an attenuator put ahead of the device)")
        ->type_name("DB");
    sweep.add_flag("--reflection", r.reflection,
                   "Return loss and SWR through a bridge: needs --ref of the bridge with its port open (or "
                   "shorted); adds rl_db and swr columns to the CSV and plots return loss");
    sweep.add_option("--swr-limit", r.swr_limit, "With --reflection: the band where SWR stays below X (default 2)")
        ->type_name("X");
    sweep.add_flag("--plot-swr", r.plot_swr, "With --reflection: plot SWR instead of return loss");
}

CLI::App *add_crystal_command(CLI::App &app, BenchRaw &r)
{
    auto *c = app.add_subcommand("crystal", "Measure a quartz crystal in its fixture: fs, Rm, Lm, Cm, C0, Q");
    c->add_option("--nominal", r.nominal, "The crystal's nominal frequency")->type_name("F")->required();
    c->add_flag("--parallel", r.parallel, "Also find the parallel resonance fp, and from it C0");
    c->add_option("--fixture", r.fixture, "The fixture's source and load resistance in ohms (default 50)")
        ->type_name("OHMS");
    c->add_option("--csv", r.crystal_csv,
                  "Append a row for each crystal to FILE ("
                  "label,fs_hz,fp_hz,rm_ohm,"
                  "lm_h,cm_f,c0_f,qu,ql; the header when the file is new)")
        ->type_name("FILE");
    c->add_option("--batch", r.batch,
                  "Measure N crystals one after another, asking for each to be inserted (press Enter)")
        ->type_name("N");
    c->add_option("--match", r.match, "After a batch, list the groups whose fs lie within HZ of each other")
        ->type_name("HZ");
    c->footer("Levels are taken in dB against the fixture's thru, as the full-scale level 3.6864e10. Each crystal's "
              "parameters, "
              "and its time on a real tester, go to standard output. Ctrl-C keeps the crystals done so far: "
              "their rows are in the CSV already. Without --port, --dut crystals:FS,FS,...:Q gives the virtual "
              "board a batch: the k-th crystal measured is crystal k of it.");
    return c;
}

SweepJob take_sweep_job(const BenchRaw &r, const SweepPlan &plan, bool has_reference)
{
    SweepJob j;
    if (!r.average.empty()) j.average = count_in(r.average, "--average", kMaxAverage);
    // Every point of every sweep counts towards the progress shown.
    if (static_cast<std::uint64_t>(plan.points) * j.average > std::uint64_t{10} * kMaxPoints)
        throw InputError("--average " + r.average + " of " + std::to_string(plan.points) + " points: more than " +
                         std::to_string(10 * kMaxPoints) + " points in all");
    if (!r.offset.empty())
        j.offset_db = number_in(r.offset, "--offset", -200, 200, "not a number of dB from -200 to +200");
    for (const std::string &m : r.markers) {
        const std::uint32_t hz = parse_frequency(m, "--marker");
        if (hz < plan.start || hz > plan.last())
            throw InputError("--marker " + in_quotes(m) + ": outside the sweep (" + format_frequency(plan.start) +
                             " to " + format_frequency(plan.last()) + ")");
        j.marks.push_back(hz);
    }
    j.off_after = r.off_after;
    j.reflection = r.reflection;
    j.plot_swr = r.plot_swr;
    if (!r.swr_limit.empty())
        j.swr_limit = number_in(r.swr_limit, "--swr-limit", 1, 1e6, "not an SWR above 1 (e.g. 1.5)");
    if (!r.swr_limit.empty() && j.swr_limit <= 1)
        throw InputError("--swr-limit " + in_quotes(r.swr_limit) + ": not an SWR above 1 (e.g. 1.5)");
    if ((!r.swr_limit.empty() || r.plot_swr) && !r.reflection)
        throw InputError(std::string(r.plot_swr ? "--plot-swr" : "--swr-limit") + " goes with --reflection");
    if (r.reflection && !has_reference)
        throw InputError("--reflection needs --ref: a reference of the bridge with its test port open (or shorted)");
    return j;
}

CrystalJob take_crystal_job(const BenchRaw &r)
{
    CrystalJob j;
    j.nominal_hz = parse_frequency(r.nominal, "--nominal");
    check_frequency(static_cast<std::uint32_t>(j.nominal_hz), "--nominal");
    j.parallel = r.parallel;
    if (!r.fixture.empty())
        j.fixture_ohms = number_in(r.fixture, "--fixture", 0.1, 10000, "not a resistance from 0.1 to 10000 ohms");
    j.csv = r.crystal_csv;
    if (!r.batch.empty()) j.batch = count_in(r.batch, "--batch", kMaxBatch);
    if (!r.match.empty()) {
        j.match_hz = number_in(r.match, "--match", 0, 1e6, "not a number of hertz from 0 to 1000000");
        if (r.batch.empty() || j.batch < 2) throw InputError("--match groups a batch: give --batch N of 2 or more");
    }
    return j;
}

std::optional<std::size_t> virtual_batch_size(const std::string &dut)
{
    if (!is_crystals(dut)) return std::nullopt;
    const std::vector<std::string> parts = split(dut, ':');
    if (parts.size() < 3) return std::nullopt;
    return split(parts[1], ',').size();
}

std::string virtual_crystal(const std::string &dut, std::size_t index)
{
    const std::vector<std::string> parts = split(dut, ':');
    if (!is_crystals(dut) || parts.size() < 3) return dut;
    return parts[0] + ":" + parts[1] + ":" + parts[2] + ":" + std::to_string(index + 1);
}

} // namespace snt
