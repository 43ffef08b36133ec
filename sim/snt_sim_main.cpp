// snt-sim: the virtual board, with the firmware's host build on it and its
// serial port on standard input/output or on a pseudo-terminal.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>

#include "board.h"
#include "bus_log.h"
#include "serial_host.h"
#include "vcd_writer.h"

namespace {

struct Options {
    bool stream = false;
    std::string pty;
    std::string vcd;
    std::string bus_log;
    std::string flash;
    double xtal = 25e6;
};

// Parses the command line; exits 0 after --help and 2 with a one-line
// message on an unknown option or a bad value.
Options parse(int argc, char **argv)
{
    Options o;
    CLI::App app{"snt-sim: a virtual scalar network tester. The serial port is on standard input and output "
                 "(raw bytes, lines ended by a carriage return) unless --pty is given."};
    app.set_help_flag("-h,--help", "Show this help and exit");
    auto *stream = app.add_flag("--stream", o.stream,
                                "Send all input at the line's byte rate as soon as the receiver is on, "
                                "instead of one line each time the firmware is idle");
    app.add_option("--pty", o.pty, "Serial port on a new pseudo-terminal linked at PATH; runs until SIGINT/SIGTERM")
        ->type_name("PATH")
        ->excludes(stream);
    app.add_option("--vcd", o.vcd, "Write a value-change dump of PA2 and the bus pins to FILE")->type_name("FILE");
    app.add_option("--bus-log", o.bus_log,
                   "Write one line per bus transaction to FILE: the time of its stop condition in "
                   "microseconds, then its bytes in hex, address byte first")
        ->type_name("FILE");
    app.add_option("--flash", o.flash,
                   "Keep the 1 KB settings page in FILE, byte for byte as on the chip; a missing file is an "
                   "erased page, created on the first write")
        ->type_name("FILE");
    app.add_option("--xtal", o.xtal, "The synthesizer's real crystal frequency in Hz (default 25000000)")
        ->type_name("HZ")
        ->check(CLI::Range(1e6, 50e6));
    try {
        app.parse(argc, argv);
        if (!o.flash.empty()) sim::Flash::check_page_file(o.flash);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        std::exit(0);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "snt-sim: %s\n", e.what());
        std::exit(2);
    } catch (const sim::PageFileError &e) {
        std::fprintf(stderr, "snt-sim: %s\n", e.what());
        std::exit(2);
    }
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    const Options opt = parse(argc, argv);
    try {
        std::unique_ptr<sim::SerialHost> host;
        if (!opt.pty.empty()) {
            host = std::make_unique<sim::PtyHost>(opt.pty);
        } else {
            host = std::make_unique<sim::StdioHost>(
                opt.stream ? sim::StdioHost::Mode::Stream : sim::StdioHost::Mode::Careful, 0, 1);
        }
        sim::BoardOptions board_options;
        board_options.synth_xtal_hz = opt.xtal;
        board_options.flash_file = opt.flash;
        sim::Board board(board_options);
        std::unique_ptr<sim::BusLogWriter> bus_log;
        std::unique_ptr<sim::BusMonitor> bus_monitor;
        if (!opt.bus_log.empty()) {
            bus_log = std::make_unique<sim::BusLogWriter>(opt.bus_log);
            bus_monitor = std::make_unique<sim::BusMonitor>(board.scheduler(), board.gpiof(), bus_log->sink());
        }
        std::unique_ptr<sim::VcdWriter> vcd;
        if (!opt.vcd.empty()) {
            vcd = std::make_unique<sim::VcdWriter>(opt.vcd, board.scheduler(),
                                                   std::vector<std::string>{"pa2", "scl", "sda"});
            vcd->follow(board.gpioa(), 2, 0);
            vcd->follow(board.gpiof(), 0, 1);
            vcd->follow(board.gpiof(), 1, 2);
        }
        host->attach(board);
        const auto done = [&host] { return host->finished(); };
        while (!done()) {
            board.run_until(done, sim::kCoreHz * 60);
        }
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "snt-sim: %s\n", e.what());
        return 1;
    }
}
