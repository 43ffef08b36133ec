#include "shells/snt/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "board/bench/bench_dut_text.h"
#include "core/analysis/sweep_record.h"
#include "core/analysis/version.h"
#include "core/client/tester_client.h"
#include "core/text/text.h"
#include "shells/snt/file_identity.h"
#include "shells/snt/plot_layout.h"
#include "shells/snt/sweep_io.h"

namespace snt {

namespace {

const char *kDescription =
    "snt: the PC side of the scalar network tester. Without --port it runs the virtual device (snt-sim) "
    "for you. Frequencies take k, M or G (455k, 10.7M) or plain hertz; the tester covers 18.2 kHz to 200 MHz.";

struct Raw {
    std::string port, dut, flash, noise, seed, xtal, image;
    std::string set_frequency, crystal, raw_line;
    std::string start, stop, points, step, csv, plot, ref, save_ref;
    std::string ylim, listen, rom, image_file;
    bool log = false, erase_settings = false;
    std::vector<std::string> plot_files;
    BenchRaw bench;
};

// An option given with nothing in it ("--port ''") is a mistake, not a
// request for the default.
void refuse_empty_values(CLI::App &app)
{
    std::vector<CLI::App *> apps{&app};
    for (CLI::App *sub : app.get_subcommands()) apps.push_back(sub);
    for (CLI::App *a : apps) {
        for (const CLI::Option *o : a->get_options()) {
            if (o->count() == 0) continue;
            for (const std::string &v : o->results()) {
                if (!v.empty()) continue;
                const std::string name = o->get_name();
                if (!name.empty() && name[0] == '-') throw InputError(name + " was given an empty value");
                throw InputError(a->get_name() + ": " + name + " is empty");
            }
        }
    }
}

struct NamedPath {
    std::string option, path;
};

// Refuses an output that is an input under another name (or the same),
// and two outputs that are one file: either would be lost.
void refuse_same_files(const std::vector<NamedPath> &outputs, const std::vector<NamedPath> &inputs)
{
    const auto show = [](const NamedPath &p) { return p.option + " " + printable(p.path); };
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const auto out = outputs[i].path.empty() ? FileIdentity::of_descriptor(1) : FileIdentity::of(outputs[i].path);
        if (!out) continue;
        const std::string what = outputs[i].path.empty() ? outputs[i].option : show(outputs[i]);
        for (const auto &in : inputs) {
            if (FileIdentity::of(in.path) == out)
                throw InputError(what + " is the same file as " + show(in) + ": writing it would destroy it");
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (FileIdentity::of(outputs[j].path) == out)
                throw InputError(what + " and " + show(outputs[j]) + " are the same file: give each its own");
        }
    }
}

struct Subcommands {
    CLI::App *id, *sweep, *plot, *set, *off, *cal, *xtal, *raw, *serve, *crystal, *flash;
};

void add_global_options(CLI::App &app, Raw &r)
{
    app.set_help_flag("-h,--help", "Show this help and exit");
    app.set_version_flag("--version",
                         std::string("snt ") + kVersion + " (for the tester firmware " + kIdentification + ")",
                         "Show the version and exit");
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("--port", r.port, "Serial port of a real tester, e.g. /dev/ttyUSB0 (default: the virtual device)")
        ->type_name("DEVICE");
    const auto sim_opt = [&](const char *name, std::string &into, const char *type, const char *help) {
        app.add_option(name, into, help)->type_name(type)->group("Virtual device (without --port)");
    };
    sim_opt("--dut", r.dut, "DEVICE",
            "Device under test: thru, open, atten:DB, lowpass:FC[:ORDER], highpass:FC[:ORDER], bandpass:F0:BW, "
            "notch:F0:BW, crystal:FS:Q, touchstone:FILE; A+B+... (a cascade), amplifier:GAIN_DB[:P1DB_DBM], "
            "bridge:LOAD (open, short, OHMS, rlc:R:L:C, FILE.s1p), crystals:FS,FS,...:Q[:N] (a batch)");
    sim_opt("--flash", r.flash, "FILE", "Keep the virtual tester's settings page in FILE");
    sim_opt("--rom", r.rom, "FILE",
            "Keep the virtual tester's whole 16 KB of flash (its image and settings page) in FILE; not with --flash");
    sim_opt("--noise", r.noise, "COUNTS", "Noise on the virtual detector, in ADC counts");
    sim_opt("--seed", r.seed, "N", "Seed of the virtual noise");
    sim_opt("--xtal", r.xtal, "HZ", "The virtual synthesizer's real crystal frequency");
    sim_opt("--image", r.image, "FILE.elf",
            "Run this chip image (snt-fw.elf) on the virtual board's Cortex-M0 core instead of the host build");
}

CLI::App *add_sweep(CLI::App &app, Raw &r)
{
    auto *sweep = app.add_subcommand("sweep", "Sweep and write the response as CSV and/or a plot");
    sweep->add_option("--start", r.start, "First frequency")->type_name("F")->required();
    sweep->add_option("--stop", r.stop, "Last frequency")->type_name("F")->required();
    sweep->add_option("--points", r.points, "Number of points, spread evenly from start to stop")->type_name("N");
    sweep->add_option("--step", r.step, "Distance between points; as many as fit up to stop")->type_name("F");
    sweep
        ->add_option("--csv", r.csv,
                     "Write frequency_hz,level,db rows to FILE (default: to standard output, "
                     "unless --plot is given)")
        ->type_name("FILE");
    sweep->add_option("--plot", r.plot, "Draw dB against frequency into FILE (.png or .svg)")->type_name("FILE");
    sweep
        ->add_option("--ref", r.ref,
                     "Give dB relative to a reference sweep saved with --save-ref "
                     "(same frequencies); default: relative to the full-scale level 3.6864e10")
        ->type_name("FILE");
    sweep->add_option("--save-ref", r.save_ref, "Also save this sweep as a reference CSV (e.g. of a thru)")
        ->type_name("FILE");
    sweep->add_flag("--log", r.log,
                    "Space the points geometrically from start to stop (needs --points) and plot on a logarithmic "
                    "frequency axis");
    sweep->add_option("--ylim", r.ylim, "The plot's dB axis from LOW to HIGH, e.g. --ylim=-80:10")
        ->type_name("LOW:HIGH");
    add_sweep_job_options(*sweep, r.bench);
    sweep->footer("Before the first command, an estimate of the sweep's time on a real tester goes to standard "
                  "error. The summary (maximum, minimum; around a single peak the -3, -6 and -60 dB points, "
                  "bandwidths, centre, Q and shape factor; a notch's depth and stop width) and a line \"wrote FILE\" "
                  "for each file go to standard output, or to standard error when the CSV does. Each CSV file gets "
                  "its record beside it, FILE.json. A sweep that is interrupted or loses the device keeps the "
                  "points measured so far in FILE.partial.");
    return sweep;
}

Subcommands add_subcommands(CLI::App &app, Raw &r)
{
    Subcommands c{};
    c.id = app.add_subcommand("id",
                              "Show the tester's identification (and the crystal frequency it announced at start-up)");
    c.sweep = add_sweep(app, r);
    c.plot = app.add_subcommand("plot", "Draw saved sweeps (CSV files written by snt sweep), overlaid");
    c.plot->add_option("CSV", r.plot_files, "Sweeps to draw, each a trace named after its file")->required();
    c.plot->add_option("--plot", r.plot, "The image to write (.png or .svg)")->type_name("FILE")->required();
    c.plot->add_flag("--log", r.log, "A logarithmic frequency axis");
    c.plot->add_option("--ylim", r.ylim, "The dB axis from LOW to HIGH, e.g. --ylim=-80:10")->type_name("LOW:HIGH");
    c.set = app.add_subcommand("set", "Put output 1 on a frequency (output 0, the LO, 1 kHz away)");
    c.set->add_option("F", r.set_frequency, "Frequency")->required();
    c.off = app.add_subcommand("off", "Switch all outputs off");
    c.cal = app.add_subcommand("cal", "Put the crystal on all outputs, to count it with a frequency counter");
    c.xtal = app.add_subcommand("xtal", "Store the crystal frequency you counted (24 to 31 MHz)");
    c.xtal->add_option("HZ", r.crystal, "Crystal frequency")->required();
    c.raw = app.add_subcommand("raw", "Send one command line as it is and show what comes back");
    c.raw->add_option("LINE", r.raw_line, "The line, without its carriage return")->required();
    c.crystal = add_crystal_command(app, r.bench);
    c.serve = app.add_subcommand("serve", "Serve a page for sweeping in the browser, live (prints its address)");
    c.serve
        ->add_option("--listen", r.listen,
                     "Address to listen on (default 127.0.0.1, port 8080 or the next free one); anything but "
                     "127.x.x.x makes the tester reachable from other machines")
        ->type_name("HOST:PORT");
    c.flash = app.add_subcommand("flash",
                                 "Write a firmware image through the chip's serial bootloader (BOOT0 high), "
                                 "verify it, start it and check its identification");
    c.flash->add_option("FILE", r.image_file, "The image: .bin (from 0x08000000), .hex or .elf")->required();
    c.flash->add_flag("--erase-settings", r.erase_settings,
                      "Erase the settings page too, forgetting the stored crystal frequency (kept otherwise)");
    c.flash->footer("The port is opened at 115200 baud, 8 data bits, even parity; then again at 115200 8N1 to ask "
                    "the new image for its identification. Without --port the virtual tester is started with BOOT0 "
                    "high (keep its flash with --rom FILE).");
    return c;
}

// Parses into `r`; true when the answer (help, version) is all there is to do.
bool parse_or_answer(CLI::App &app, const std::vector<std::string> &args, Invocation &inv)
{
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForVersion &e) {
        inv.answer = std::string(e.what()) + "\n";
        inv.done = 0;
        return true;
    } catch (const CLI::CallForHelp &) {
        const auto subs = app.get_subcommands();
        inv.answer = subs.empty() ? app.help() : subs.front()->help();
        inv.done = 0;
        return true;
    } catch (const CLI::RequiredError &e) {
        // Without a known command CLI11 only says that one is required; name
        // what was typed instead, and what would have been understood.
        if (app.get_subcommands().empty()) {
            // Every global option takes a value, so the word after one is not
            // the command.
            for (std::size_t i = 0; i < args.size(); ++i) {
                const std::string &arg = args[i];
                if (!arg.empty() && arg[0] == '-') {
                    if (arg.find('=') == std::string::npos) ++i;
                    continue;
                }
                throw InputError("unknown command \"" + arg +
                                 "\"; commands: id, sweep, crystal, set, off, cal, xtal, raw, serve, plot, flash");
            }
            throw InputError(
                "no command given; commands: id, sweep, crystal, set, off, cal, xtal, raw, serve, plot, flash "
                "(see snt --help)");
        }
        throw InputError(e.what());
    } catch (const CLI::ParseError &e) {
        throw InputError(e.what());
    }
    return false;
}

// The virtual device's options, passed on to snt-sim.
void take_sim_options(const Raw &r, Invocation &inv)
{
    const std::pair<const char *, const std::string *> sim_options[] = {
        {"--dut", &r.dut},   {"--flash", &r.flash}, {"--noise", &r.noise}, {"--seed", &r.seed},
        {"--xtal", &r.xtal}, {"--image", &r.image}, {"--rom", &r.rom}};
    for (const auto &[name, value] : sim_options) {
        if (value->empty()) continue;
        if (!r.port.empty())
            throw InputError(std::string(name) + " is for the virtual device; it cannot go with --port");
        inv.sim_args.push_back(name);
        inv.sim_args.push_back(*value);
    }
}

void check_files(const Raw &r, const CLI::App &sweep)
{
    // What snt-sim reads counts as an input, and its settings page (which it
    // writes) as an output, as much as our own files.
    std::vector<NamedPath> inputs{{"--ref", r.ref}, {"--image", r.image}, {"flash", r.image_file}};
    for (const auto &f : r.plot_files) inputs.push_back({"plot", f});
    for (const std::string &file : sim::bench_dut_files(r.dut)) inputs.push_back({"--dut", file});
    std::vector<NamedPath> outputs{{"--csv", r.csv},     {"--plot", r.plot}, {"--save-ref", r.save_ref},
                                   {"--flash", r.flash}, {"--rom", r.rom},   {"crystal --csv", r.bench.crystal_csv}};
    // Each CSV's record, FILE.json, is an output of its own.
    for (const auto *csv : {&r.csv, &r.save_ref}) {
        if (!csv->empty() && sweep.parsed() && gets_record(*csv))
            outputs.push_back({"the record of " + *csv, record_path(*csv)});
    }
    outputs.erase(std::remove_if(outputs.begin(), outputs.end(), [](const NamedPath &p) { return p.path.empty(); }),
                  outputs.end());
    if (sweep.parsed() && r.csv.empty() && r.plot.empty()) outputs.push_back({"standard output (the CSV)", ""});
    refuse_same_files(outputs, inputs);
}

void take_sweep(const Raw &r, SweepOptions &s)
{
    const std::uint32_t start = parse_frequency(r.start, "--start");
    const std::uint32_t stop = parse_frequency(r.stop, "--stop");
    if (!r.points.empty() && !r.step.empty()) throw InputError("give either --points or --step, not both");
    if (r.points.empty() && r.step.empty()) throw InputError("give --points or --step");
    std::optional<std::uint32_t> n, st;
    if (!r.points.empty()) n = parse_count(r.points, "--points");
    if (!r.step.empty()) st = parse_frequency(r.step, "--step");
    if (r.log && st) throw InputError("--log spaces the points by a ratio: give --points, not --step");
    s.plan = r.log ? SweepPlan::make_log(start, stop, *n) : SweepPlan::make(start, stop, n, st);
    s.log = r.log;
    if (!r.ylim.empty()) s.ylim = parse_ylim(r.ylim);
    s.csv = r.csv;
    s.plot = r.plot;
    s.ref = r.ref;
    s.save_ref = r.save_ref;
    if (!s.plot.empty()) plot_format_of(s.plot);
    if (!s.ref.empty()) {
        try {
            s.reference = read_sweep_csv(s.ref, SweepCsv::Reference);
        } catch (const InputError &e) {
            throw InputError(std::string("--ref: ") + e.what());
        }
        // Same frequencies as this sweep, or we refuse now.
        SweepResult(s.plan, std::vector<std::optional<double>>(s.plan.points)).normalise(*s.reference);
    }
}

// A virtual batch must hold the crystals asked for.
void check_batch(const Invocation &inv)
{
    if (!inv.port.empty() || inv.crystal.batch < 2) return;
    const auto held = virtual_batch_size(inv.dut);
    if (held && *held < inv.crystal.batch)
        throw InputError("--batch " + std::to_string(inv.crystal.batch) + ": the virtual batch --dut " +
                         printable(inv.dut) + " holds " + std::to_string(*held) + " crystals");
}

// The image `snt flash` is to write, refused here for anything that would
// not fit or does not parse.
flash::Image read_flash_image(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError("flash: cannot read " + path);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw InputError("flash: cannot read " + path);
    try {
        return flash::read_image(path, bytes);
    } catch (const flash::ImageError &e) {
        throw InputError("flash: " + path + ": " + e.what());
    }
}

void take_command(const Subcommands &c, const Raw &r, Invocation &inv)
{
    if (c.id->parsed()) {
        inv.command = Command::Id;
    } else if (c.off->parsed()) {
        inv.command = Command::Off;
    } else if (c.cal->parsed()) {
        inv.command = Command::Cal;
    } else if (c.set->parsed()) {
        inv.command = Command::Set;
        inv.frequency = parse_frequency(r.set_frequency, "frequency");
        check_frequency(inv.frequency, "frequency");
    } else if (c.xtal->parsed()) {
        inv.command = Command::Xtal;
        inv.frequency = parse_frequency(r.crystal, "crystal frequency");
        check_crystal(inv.frequency);
    } else if (c.raw->parsed()) {
        inv.command = Command::Raw;
        if (r.raw_line.find_first_of("\r\n") != std::string::npos)
            throw InputError("raw: give one line, without carriage return or line feed");
        inv.raw_line = r.raw_line;
    } else if (c.serve->parsed()) {
        inv.command = Command::Serve;
        if (!r.listen.empty()) inv.listen = ListenAddress::parse(r.listen);
    } else if (c.sweep->parsed()) {
        inv.command = Command::Sweep;
        take_sweep(r, inv.sweep);
        inv.job = take_sweep_job(r.bench, inv.sweep.plan, inv.sweep.reference.has_value());
    } else if (c.crystal->parsed()) {
        inv.command = Command::Crystal;
        inv.crystal = take_crystal_job(r.bench);
        check_batch(inv);
    } else if (c.flash->parsed()) {
        inv.command = Command::Flash;
        inv.image_file = r.image_file;
        inv.image = read_flash_image(r.image_file);
        inv.erase_settings = r.erase_settings;
    } else if (c.plot->parsed()) {
        inv.command = Command::Plot;
        inv.plot_files = r.plot_files;
        inv.sweep.plot = r.plot;
        inv.sweep.log = r.log;
        plot_format_of(r.plot);
        if (!r.ylim.empty()) inv.sweep.ylim = parse_ylim(r.ylim);
    }
}

} // namespace

Invocation parse_arguments(const std::vector<std::string> &args)
{
    Raw r;
    CLI::App app{kDescription, "snt"};
    add_global_options(app, r);
    const Subcommands commands = add_subcommands(app, r);
    Invocation inv;
    if (parse_or_answer(app, args, inv)) return inv;
    refuse_empty_values(app);
    inv.command_line.push_back("snt");
    inv.command_line.insert(inv.command_line.end(), args.begin(), args.end());
    inv.port = r.port;
    inv.dut = r.dut;
    if (!r.rom.empty() && !r.flash.empty())
        throw InputError("--rom holds the settings page too: give --rom or --flash, not both");
    take_sim_options(r, inv);
    check_files(r, *commands.sweep);
    take_command(commands, r, inv);
    return inv;
}

} // namespace snt
