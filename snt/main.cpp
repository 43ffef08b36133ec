// snt: the PC tool of the scalar network tester.
//
// Exit status: 0 done, 1 the device or the port failed (time-out, wrong
// identification, port missing or busy), 2 the command line was refused
// (nothing was sent and nothing started), 128+N after signal N (Ctrl-C: 130).
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

#include "device.h"
#include "frequency.h"
#include "interrupt.h"
#include "options.h"
#include "plotter.h"
#include "progress.h"
#include "serial_port.h"
#include "sim_process.h"
#include "summary.h"
#include "sweep.h"

namespace {

using namespace snt;

void run_sweep(Device &device, const Invocation &inv)
{
    const SweepOptions &s = inv.sweep;
    std::vector<Device::Level> levels;
    {
        Progress progress(s.plan.points);
        levels = device.sweep(s.plan.start, s.plan.step, s.plan.points,
                              [&progress](std::uint32_t done, std::uint32_t) { progress.update(done); });
    }
    SweepResult result(s.plan, levels);
    if (!s.save_ref.empty()) result.write_csv(s.save_ref);
    if (s.reference) result.normalise(*s.reference);

    const bool csv_to_stdout = s.csv.empty() && s.plot.empty();
    if (!s.csv.empty()) result.write_csv(s.csv);
    if (csv_to_stdout) result.write_csv(std::cout);
    if (!s.plot.empty()) {
        const std::string y = s.reference ? "dB (relative to " + s.ref + ")" : "dB (relative to full scale)";
        Plotter::plot(result, s.plot, Plotter::title(result, inv.port.empty() ? (inv.dut.empty() ? "thru" : inv.dut) : ""),
                      y);
    }
    std::cout.flush();
    const std::string text = Summary::of(result).text();
    std::fputs(text.c_str(), csv_to_stdout ? stderr : stdout);
}

int run(const Invocation &inv)
{
    std::optional<SimProcess> sim;
    std::string port_path = inv.port;
    if (port_path.empty()) {
        sim.emplace(SimProcess::default_program(), inv.sim_args);
        port_path = sim->port();
    }
    SerialPort port(port_path);
    Device device(port);

    switch (inv.command) {
    case Command::Id:
        std::printf("%s\n", device.identify().c_str());
        if (const auto xtal = device.banner_crystal())
            std::printf("crystal frequency %u Hz (announced at start-up)\n", *xtal);
        break;
    case Command::Set:
        device.set_frequency(inv.frequency);
        std::printf("output 1 at %s, output 0 (LO) 1 kHz away\n", format_frequency(inv.frequency).c_str());
        break;
    case Command::Off:
        device.off();
        std::printf("all outputs off\n");
        break;
    case Command::Cal:
        device.calibrate();
        std::printf("All three outputs now carry the crystal frequency.\n"
                    "Count one of them with a frequency counter, then store what it reads with\n"
                    "  snt xtal HZ        (e.g. snt xtal 25000123; accepted: %u to %u)\n",
                    kMinCrystal, kMaxCrystal);
        break;
    case Command::Xtal:
        device.set_crystal(inv.frequency);
        std::printf("crystal frequency %u Hz stored and in use\n", inv.frequency);
        break;
    case Command::Raw:
        for (const auto &line : device.raw(inv.raw_line)) std::printf("%s\n", line.c_str());
        break;
    case Command::Sweep:
        run_sweep(device, inv);
        break;
    }
    std::fflush(stdout);
    return 0;
}

void say(const std::string &what) { std::fprintf(stderr, "snt: %s\n", what.c_str()); }

} // namespace

int main(int argc, char **argv)
{
    install_interrupt_handlers();
    Invocation inv;
    try {
        inv = parse_arguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const InputError &e) {
        say(e.what());
        return 2;
    }
    if (inv.done) return *inv.done;
    try {
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
