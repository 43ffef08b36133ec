// snt-sim: the virtual board, with the firmware's host build on it and its
// serial port on standard input/output or on a pseudo-terminal.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "board.h"
#include "bus_log.h"
#include "dut.h"
#include "elf_image.h"
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
    std::string dut = "thru";
    double noise = sim::AnalogFrontEnd::kDefaultNoise;
    std::uint64_t seed = 1;
    std::string image;
    bool stats = false;
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
    app.add_option("--dut", o.dut,
                   std::string("The device under test between output 1 and the mixer (default thru): ") +
                       sim::dut_kinds() +
                       ". Frequencies take k, M or G (10.7M); FILE is a Touchstone version 1 two-port file")
        ->type_name("DEVICE");
    app.add_option("--noise", o.noise,
                   "Standard deviation of the white noise on the ADC input, in counts (default 2: the detector's "
                   "noise floor about 75 dB below a thru)")
        ->type_name("COUNTS")
        ->check(CLI::Validator(
            [](std::string &text) {
                double v = 0;
                try {
                    std::size_t used = 0;
                    v = std::stod(text, &used);
                    if (used != text.size()) return std::string("not a number: ") + text;
                } catch (const std::exception &) {
                    return std::string("not a number: ") + text;
                }
                return v >= 0 && std::isfinite(v) ? std::string() : "must be a number of 0 or more, not " + text;
            },
            ""));
    app.add_option("--seed", o.seed, "Seed of the noise sequence (default 1); the same seed gives the same samples")
        ->type_name("N")
        ->check(CLI::Validator(
            [](std::string &text) {
                const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
                errno = 0;
                if (digits) std::strtoull(text.c_str(), nullptr, 10);
                return digits && errno == 0 ? std::string() : "not a whole number from 0 to 2^64 - 1: " + text;
            },
            ""));
    app.add_option("--image", o.image,
                   "Run this chip image (the ELF file the chip build writes, snt-fw.elf) on the board's "
                   "Cortex-M0 core, with the chip's own instruction timing, instead of the firmware's host build")
        ->type_name("FILE.elf");
    app.add_flag("--stats", o.stats,
                 "At exit, print statistics of the run on standard error, one 'name value' a line: cycles, "
                 "instructions, per interrupt handler irq.NAME.count/.cycles_max/.cycles_mean, adc.overruns, "
                 "usart.overruns, flash.stall_cycles");
    try {
        app.parse(argc, argv);
        if (!o.image.empty()) sim::ElfImage{o.image};
        if (!o.flash.empty()) sim::Flash::check_page_file(o.flash);
        sim::parse_dut(o.dut);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        std::exit(0);
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "snt-sim: %s\n", e.what());
        std::exit(2);
    } catch (const sim::PageFileError &e) {
        std::fprintf(stderr, "snt-sim: %s\n", e.what());
        std::exit(2);
    } catch (const sim::DutError &e) {
        std::fprintf(stderr, "snt-sim: --dut: %s\n", e.what());
        std::exit(2);
    } catch (const sim::ImageError &e) {
        std::fprintf(stderr, "snt-sim: --image: %s\n", e.what());
        std::exit(2);
    }
    return o;
}

// Prints the board's statistics when the run ends, however it ends.
class StatisticsPrinter {
public:
    explicit StatisticsPrinter(const sim::Board *board) : board_(board) {}
    ~StatisticsPrinter()
    {
        if (board_ == nullptr) return;
        for (const auto &[name, value] : board_->statistics()) {
            std::fprintf(stderr, "%s %s\n", name.c_str(), value.c_str());
        }
    }
    StatisticsPrinter(const StatisticsPrinter &) = delete;
    StatisticsPrinter &operator=(const StatisticsPrinter &) = delete;

private:
    const sim::Board *board_;
};

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
        board_options.dut = opt.dut;
        board_options.noise = opt.noise;
        board_options.seed = opt.seed;
        board_options.image = opt.image;
        sim::Board board(board_options);
        StatisticsPrinter stats(opt.stats ? &board : nullptr);
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
