// snt: the PC tool of the scalar network tester.
//
// Exit status: 0 done, 1 the device, the port or an output failed
// (time-out, wrong identification, port missing or busy, a file or
// standard output that could not be written), 2 the command line was
// refused (nothing was sent and nothing started), 128+N after signal N
// (Ctrl-C: 130).
#include <cstdio>
#include <optional>

#include "device.h"
#include "frequency.h"
#include "interrupt.h"
#include "options.h"
#include "output.h"
#include "plotter.h"
#include "progress.h"
#include "serial_port.h"
#include "sim_process.h"
#include "summary.h"
#include "sweep.h"
#include "text.h"

namespace {

using namespace snt;

// The files a sweep writes, checked and reserved before the first command
// goes out, so a finished sweep is never lost to a bad path.
struct SweepFiles {
    std::optional<OutputFile> csv, plot, save_ref;
    std::optional<Plotter::Format> plot_format;

    explicit SweepFiles(const SweepOptions &s)
    {
        if (!s.plot.empty()) {
            plot_format = Plotter::format_of(s.plot);
            Plotter::check_driver(*plot_format);
        }
        if (!s.save_ref.empty()) save_ref.emplace("--save-ref", s.save_ref);
        if (!s.csv.empty()) csv.emplace("--csv", s.csv);
        if (!s.plot.empty()) plot.emplace("--plot", s.plot);
    }
};

void run_sweep(Device &device, const Invocation &inv, SweepFiles &files)
{
    const SweepOptions &s = inv.sweep;
    std::vector<Device::Level> levels;
    {
        Progress progress(s.plan.points);
        levels = device.sweep(s.plan.start, s.plan.step, s.plan.points,
                              [&progress](std::uint32_t done, std::uint32_t) { progress.update(done); });
    }
    SweepResult result(s.plan, levels);

    // Each file is written whole and put in place on its own: one that
    // fails does not cost the others. The first failure is reported at the
    // end.
    std::optional<std::string> failed;
    const auto attempt = [&failed](OutputFile &file, const auto &write) {
        try {
            write(file);
            file.commit();
        } catch (const Interrupted &) {
            throw;
        } catch (const std::runtime_error &e) {
            if (!failed) failed = e.what();
        }
    };
    if (files.save_ref) {
        attempt(*files.save_ref, [&](OutputFile &f) { f.write(result.csv()); });
        std::size_t unusable = 0;
        for (const auto &p : result.points()) unusable += p.level && *p.level <= 0;
        if (unusable > 0)
            std::fprintf(stderr,
                         "snt: warning: %zu points of the reference have the level 0 (no signal at all); --ref will "
                         "refuse it\n",
                         unusable);
    }
    if (s.reference) result.normalise(*s.reference);
    if (files.csv) attempt(*files.csv, [&](OutputFile &f) { f.write(result.csv()); });
    if (files.plot) {
        const std::string y = s.reference ? "dB (relative to " + s.ref + ")" : "dB (relative to full scale)";
        const std::string title =
            Plotter::title(result, inv.port.empty() ? (inv.dut.empty() ? "thru" : inv.dut) : "");
        attempt(*files.plot,
                [&](OutputFile &f) { f.write(Plotter::render(result, *files.plot_format, title, y)); });
    }

    const bool csv_to_stdout = !files.csv && !files.plot;
    if (csv_to_stdout) print(result.csv());
    const std::string text = Summary::of(result).text();
    if (csv_to_stdout) {
        std::fputs(text.c_str(), stderr);
    } else {
        print(text);
    }
    if (failed) throw std::runtime_error(*failed);
}

void perform(Device &device, const Invocation &inv, SweepFiles *files)
{
    switch (inv.command) {
    case Command::Id:
        print(device.identify() + "\n");
        if (const auto xtal = device.banner_crystal())
            print("crystal frequency " + std::to_string(*xtal) + " Hz (announced at start-up)\n");
        break;
    case Command::Set:
        device.set_frequency(inv.frequency);
        print("output 1 at " + format_frequency(inv.frequency) + ", output 0 (LO) 1 kHz away\n");
        break;
    case Command::Off:
        device.off();
        print("all outputs off\n");
        break;
    case Command::Cal:
        device.calibrate();
        print("All three outputs now carry the crystal frequency.\n"
              "Count one of them with a frequency counter, then store what it reads with\n"
              "  snt xtal HZ        (e.g. snt xtal 25000123; accepted: " +
              std::to_string(kMinCrystal) + " to " + std::to_string(kMaxCrystal) + ")\n");
        break;
    case Command::Xtal:
        device.set_crystal(inv.frequency);
        print("crystal frequency " + std::to_string(inv.frequency) + " Hz stored and in use\n");
        break;
    case Command::Raw:
        // The replies as they come; bytes a terminal should not get are
        // shown as \xNN.
        device.raw(inv.raw_line, [](const std::string &line) { print(printable(line) + "\n"); });
        break;
    case Command::Sweep:
        run_sweep(device, inv, *files);
        break;
    }
}

int run(const Invocation &inv)
{
    // Everything that can be refused is refused before anything starts.
    check_standard_output();
    std::optional<SweepFiles> files;
    if (inv.command == Command::Sweep) files.emplace(inv.sweep);

    std::optional<SimProcess> sim;
    std::string port_path = inv.port;
    if (port_path.empty()) {
        sim.emplace(SimProcess::default_program(), inv.sim_args);
        port_path = sim->port();
    }
    try {
        SerialPort port(port_path);
        Device device(port);
        perform(device, inv, files ? &*files : nullptr);
    } catch (const Interrupted &) {
        throw;
    } catch (const std::runtime_error &e) {
        // When the virtual device stopped by itself, its own words say more
        // than what became of its port.
        if (sim) {
            const bool hung_up = dynamic_cast<const PortClosed *>(&e) != nullptr;
            if (auto why = sim->failure(hung_up ? SimProcess::kStopGrace : std::chrono::milliseconds(0))) throw *why;
        }
        throw;
    }
    return 0;
}

void say(const std::string &what) { std::fprintf(stderr, "snt: %s\n", printable(what).c_str()); }

int main_status(const std::vector<std::string> &args)
{
    try {
        const Invocation inv = parse_arguments(args);
        if (inv.done) {
            print(inv.answer);
            return *inv.done;
        }
        return run(inv);
    } catch (const Interrupted &e) {
        say(e.what());
        return 128 + e.signal_number();
    } catch (const SimError &e) {
        say(e.what());
        return e.exit_code();
    } catch (const InputError &e) {
        say(e.what());
        return 2;
    } catch (const std::exception &e) {
        say(e.what());
        return 1;
    }
}

} // namespace

int main(int argc, char **argv)
{
    install_interrupt_handlers();
    return main_status(std::vector<std::string>(argv + 1, argv + argc));
}
