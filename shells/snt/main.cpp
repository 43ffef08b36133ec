// snt: the PC tool of the scalar network tester.
//
// Exit status: 0 done, 1 the device, the port or an output failed
// (time-out, wrong identification, port missing or busy, a file or
// standard output that could not be written), 2 the command line was
// refused (nothing was sent and nothing started), 128+N after signal N
// (Ctrl-C: 130, SIGTERM: 143, SIGHUP: 129; an interrupted sweep keeps its
// points so far in FILE.partial).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"
#include "core/analysis/sweep.h"
#include "core/analysis/sweep_record.h"
#include "core/text/text.h"
#include "shells/serve/serve.h"
#include "shells/snt/crystal_job.h"
#include "shells/snt/device.h"
#include "shells/snt/interrupt.h"
#include "shells/snt/options.h"
#include "shells/snt/output.h"
#include "shells/snt/plotter.h"
#include "shells/snt/progress.h"
#include "shells/snt/serial_port.h"
#include "shells/snt/sim_process.h"
#include "shells/snt/sweep_files.h"
#include "shells/snt/sweep_io.h"
#include "shells/snt/sweep_job.h"

namespace {

using namespace snt;

SweepOutputs outputs_of(const Invocation &inv)
{
    const SweepOptions &s = inv.sweep;
    SweepOutputs o;
    o.csv = s.csv;
    o.plot = s.plot;
    o.save_ref = s.save_ref;
    o.ref = s.ref;
    o.plot_options.log_x = s.log;
    o.plot_options.ylim = s.ylim;
    o.dut = inv.port.empty() ? (inv.dut.empty() ? "thru" : inv.dut) : "";
    return o;
}

// `snt plot`: saved sweeps, overlaid.
void run_plot(const Invocation &inv)
{
    const Plotter::Format format = Plotter::format_of(inv.sweep.plot);
    Plotter::check_driver(format);
    std::vector<Trace> traces;
    for (const auto &path : inv.plot_files) {
        try {
            traces.push_back({path, read_sweep_csv(path, SweepCsv::Saved)});
        } catch (const InputError &e) {
            throw InputError(std::string("plot: ") + e.what());
        }
    }
    OutputFile out("--plot", inv.sweep.plot);
    PlotOptions options;
    options.log_x = inv.sweep.log;
    options.ylim = inv.sweep.ylim;
    options.y_label = "dB";
    options.title = traces.size() == 1 ? Plotter::title(traces.front().result, inv.plot_files.front())
                                       : "snt: " + std::to_string(traces.size()) + " sweeps";
    out.write(Plotter::render(traces, format, options));
    out.commit();
    print(wrote({out.path()}));
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
        if (const auto announced = device.banner_crystal()) {
            // A crystal counted right is within a few hundred ppm of the value it
            // announces; far more is a typing or counting mistake.
            const double off = std::abs(static_cast<double>(inv.frequency) - *announced) / *announced;
            if (off > 0.001)
                std::fprintf(stderr,
                             "snt: warning: %u Hz is %.2f %% away from the %u Hz the tester announced (more than "
                             "0.1 %%): check the count before you rely on it\n",
                             inv.frequency, off * 100, *announced);
        }
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
    case Command::Crystal: // connects on its own, in run()
    case Command::Serve:   // runs on its own, in run()
    case Command::Plot:    // needs no device
        break;
    }
}

int run(const Invocation &inv)
{
    // Everything that can be refused is refused before anything starts.
    check_standard_output();
    if (inv.command == Command::Serve) {
        serve(ServeConfig{inv.listen, inv.port, inv.sim_args, inv.dut});
        return 0;
    }
    if (inv.command == Command::Plot) {
        run_plot(inv);
        return 0;
    }
    if (inv.command == Command::Crystal) {
        run_crystal(inv);
        return 0;
    }
    std::optional<SweepFiles> files;
    if (inv.command == Command::Sweep) {
        files.emplace(outputs_of(inv));
        // Before the first byte goes out: what this would cost on a real tester.
        std::fprintf(stderr, "snt: %s\n", SweepEstimate::of(inv.sweep.plan).text(inv.sweep.plan).c_str());
    }

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
