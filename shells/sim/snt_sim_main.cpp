// snt-sim: the virtual board, with the firmware's host build on it and its
// serial port on standard input/output or on a pseudo-terminal.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "board/bench/bench_dut_text.h"
#include "board/bench/dut_text.h"
#include "board/board.h"
#include "board/cpu/chip_cpu.h"
#include "board/cpu/elf_image.h"
#include "board/statistics.h"
#include "protocol.h"
#include "shells/sim/bus_log.h"
#include "shells/sim/gdb_server.h"
#include "shells/sim/input_files.h"
#include "shells/sim/output_file.h"
#include "shells/sim/page_file.h"
#include "shells/sim/serial_host.h"
#include "shells/sim/sim_board.h"
#include "shells/sim/stop_signals.h"
#include "shells/sim/vcd_writer.h"

namespace {

// The board runs in slices of this much virtual time; between two slices
// the program looks for a stop signal. (Waits for input or output watch for
// one themselves.)
constexpr sim::Cycles kSliceCycles = sim::kCoreHz / 100;

// How long a wait for GDB lasts while it holds the core, before the run
// loop looks at its signals again.
constexpr int kGdbWaitMs = 200;
// How long, with --gdb, a wait for standard input lasts before GDB's socket
// is looked at (virtual time goes on meanwhile).
constexpr int kGdbInputWaitMs = 50;

// Exit status for a bad option or value.
constexpr int kUsageStatus = 2;

// Prints "snt-sim: " and `message` as one line: control characters (a
// newline in a file name) show as '?'.
void complain(const std::string &message)
{
    std::string line = "snt-sim: ";
    for (const char c : message) line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    line += '\n';
    std::fputs(line.c_str(), stderr);
}

struct Options {
    bool stream = false;
    std::string pty;
    std::string vcd;
    std::string bus_log;
    std::string flash;
    double xtal = XTAL_DEFAULT;
    std::string dut = "thru";
    double noise = sim::AnalogFrontEnd::kDefaultNoise;
    std::uint64_t seed = 1;
    std::string image;
    std::string rom;
    bool boot0 = false;
    bool stats = false;
    std::string gdb;
    bool gdb_wait = false;
};

// A path option given an empty value is a mistake, not "no file".
const CLI::Validator
    kPath([](std::string &text) { return text.empty() ? std::string("an empty path") : std::string(); }, "");

// A number of hertz within the synthesizer's crystal range.
const CLI::Validator kCrystalHz(
    [](std::string &text) {
        std::string range = "must be a frequency from 1000000 to 50000000 Hz, not \"" + text + "\"";
        double v = 0;
        try {
            std::size_t used = 0;
            v = std::stod(text, &used);
            if (used != text.size()) return range;
        } catch (const std::exception &) {
            return range;
        }
        return std::isfinite(v) && v >= 1e6 && v <= 50e6 ? std::string() : range;
    },
    "");

// Where GDB connects: [HOST:]PORT.
const CLI::Validator kGdbAddress(
    [](std::string &text) {
        try {
            sim::GdbAddress::parse(text);
        } catch (const sim::GdbAddressError &e) {
            return std::string(e.what());
        }
        return std::string();
    },
    "");

// Why an input file cannot be read as one, or "" when it can: it must be a
// regular file (a FIFO or a device is refused without waiting on it).
std::string unreadable(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::strerror(errno);
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return ok ? std::string() : "not a regular file";
}

// A standard deviation in ADC counts: a number of 0 or more.
const CLI::Validator kNoiseCounts(
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
    "");

// A seed: a whole number that fits 64 bits.
const CLI::Validator kSeed(
    [](std::string &text) {
        const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
        errno = 0;
        if (digits) std::strtoull(text.c_str(), nullptr, 10);
        return digits && errno == 0 ? std::string() : "not a whole number from 0 to 2^64 - 1: " + text;
    },
    "");

void add_options(CLI::App &app, Options &o)
{
    app.set_help_flag("-h,--help", "Show this help and exit");
    auto *stream = app.add_flag("--stream", o.stream,
                                "Send all input at the line's byte rate as soon as the receiver is on, "
                                "instead of one line each time the firmware is idle");
    app.add_option("--pty", o.pty,
                   "Serial port on a new pseudo-terminal linked at PATH, which must not exist yet; runs until "
                   "SIGINT/SIGTERM/SIGHUP and removes the link")
        ->type_name("PATH")
        ->check(kPath)
        ->excludes(stream);
    app.add_option("--vcd", o.vcd, "Write a value-change dump of PA2 and the bus pins to FILE")
        ->type_name("FILE")
        ->check(kPath);
    app.add_option("--bus-log", o.bus_log,
                   "Write one line per bus transaction to FILE: the time of its stop condition in "
                   "microseconds, then its bytes in hex, address byte first")
        ->type_name("FILE")
        ->check(kPath);
    app.add_option("--flash", o.flash,
                   "Keep the 1 KB settings page in FILE, byte for byte as on the chip; a missing file is an "
                   "erased page, created on the first write; a read-only page is refused")
        ->type_name("FILE")
        ->check(kPath);
    app.add_option("--xtal", o.xtal,
                   "The synthesizer's real crystal frequency in Hz (default " + std::to_string(XTAL_DEFAULT) + ")")
        ->type_name("HZ")
        ->check(kCrystalHz);
    app.add_option("--dut", o.dut,
                   std::string("The device under test between output 1 and the mixer (default thru): ") +
                       sim::dut_kinds() + "; " + sim::bench_dut_kinds() +
                       ". Frequencies take k, M or G (10.7M); FILE is a Touchstone version 1 two-port file, "
                       "FILE.s1p a one-port file; crystals:...:N puts crystal N of a batch in the fixture")
        ->type_name("DEVICE");
    app.add_option("--noise", o.noise,
                   "Standard deviation of the white noise on the ADC input, in counts (default 2: the detector's "
                   "noise floor about 75 dB below a thru)")
        ->type_name("COUNTS")
        ->check(kNoiseCounts);
    app.add_option("--seed", o.seed, "Seed of the noise sequence (default 1); the same seed gives the same samples")
        ->type_name("N")
        ->check(kSeed);
    app.add_option("--image", o.image,
                   "Run this chip image (the ELF file the chip build writes, snt-fw.elf) on the board's "
                   "Cortex-M0 core, with the chip's own instruction timing, instead of the firmware's host build")
        ->type_name("FILE.elf")
        ->check(kPath);
    auto *rom = app.add_option("--rom", o.rom,
                               "Keep the chip's whole 16 KB of flash (the image and the settings page) in FILE, "
                               "byte for byte, and run what it holds on the Cortex-M0 core; a missing file is "
                               "erased flash. --image puts that image into a new or erased one")
                    ->type_name("FILE")
                    ->check(kPath);
    app.get_option("--flash")->excludes(rom);
    app.add_flag("--boot0", o.boot0,
                 "Start with BOOT0 high: the chip's system bootloader answers on the serial port (8 data bits, "
                 "even parity, the host's baud rate) until Go starts what the flash holds on the Cortex-M0 core");
    auto *gdb = app.add_option("--gdb", o.gdb,
                               "With --image: serve GDB's remote protocol at [HOST:]PORT (HOST 127.0.0.1 unless "
                               "given; port 0 takes a free one); the core halts when GDB attaches and runs on when "
                               "it detaches")
                    ->type_name("[HOST:]PORT")
                    ->check(kGdbAddress);
    app.add_flag("--gdb-wait", o.gdb_wait, "With --gdb: hold the core at reset until GDB attaches")->needs(gdb);
    app.add_flag("--stats", o.stats,
                 "At exit, print statistics of the run on standard error, one 'name value' a line: cycles, "
                 "instructions, per interrupt handler irq.NAME.count/.cycles_max/.cycles_mean, adc.overruns, "
                 "usart.overruns, flash.stall_cycles; with --boot0 the bootloader's boot.*");
}

sim::BoardOptions board_options_of(const Options &o)
{
    sim::BoardOptions b;
    b.synth_xtal_hz = o.xtal;
    b.flash_file = o.flash;
    b.dut = o.dut;
    b.noise = o.noise;
    b.seed = o.seed;
    b.image = o.image;
    b.rom_file = o.rom;
    b.boot0 = o.boot0;
    return b;
}

// The files and the device the options name, checked before the board is
// built; throws what parse() reports.
void check_inputs(const Options &o)
{
    if (!o.gdb.empty() && o.image.empty()) throw CLI::ValidationError("--gdb", "debugs the chip image: give --image");
    if (!o.image.empty()) {
        if (const std::string why = unreadable(o.image); !why.empty()) throw sim::ImageError(o.image + ": " + why);
        sim::read_image_file(o.image);
    }
    sim::SimBoard::check_files(board_options_of(o));
    sim::parse_bench_dut(o.dut, sim::read_touchstone_file);
    if (!o.image.empty() && (!o.rom.empty() || o.boot0)) {
        sim::SimBoard::program_of(sim::read_image_file(o.image));
        if (!o.rom.empty() && !sim::SimBoard::rom_without_image(o.rom)) {
            throw sim::ImageError("the rom file " + o.rom +
                                  " holds an image already: give --image only with a new or erased rom");
        }
    }
}

// Parses the command line; exits 0 after --help and 2 with a one-line
// message on an unknown option or a bad value.
Options parse(int argc, char **argv)
{
    Options o;
    CLI::App app{"snt-sim: a virtual scalar network tester. The serial port is on standard input and output "
                 "(raw bytes, lines ended by a carriage return) unless --pty is given."};
    add_options(app, o);
    try {
        app.parse(argc, argv);
        check_inputs(o);
    } catch (const CLI::CallForHelp &) {
        std::fputs(app.help().c_str(), stdout);
        std::exit(0);
    } catch (const CLI::ParseError &e) {
        complain(e.what());
        std::exit(2);
    } catch (const sim::PageFileError &e) {
        complain(std::string(o.rom.empty() || !o.flash.empty() ? "--flash: " : "--rom: ") + e.what());
        std::exit(2);
    } catch (const sim::DutError &e) {
        complain(std::string("--dut: ") + e.what());
        std::exit(2);
    } catch (const sim::ImageError &e) {
        complain(std::string("--image: ") + e.what());
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
        auto lines = sim::statistics(*board_);
        if (const auto *boot = dynamic_cast<const sim::BootCpu *>(&board_->cpu())) {
            for (auto &line : sim::boot_statistics(*boot)) lines.push_back(std::move(line));
        }
        for (const auto &[name, value] : lines) std::fprintf(stderr, "%s %s\n", name.c_str(), value.c_str());
    }
    StatisticsPrinter(const StatisticsPrinter &) = delete;
    StatisticsPrinter &operator=(const StatisticsPrinter &) = delete;

private:
    const sim::Board *board_;
};

// The file a path names, if it exists: to tell whether two options name one
// file.
bool same_file(const std::string &path, const sim::OutputFile &out)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && st.st_dev == out.device() && st.st_ino == out.inode();
}

// The files the run reads, by option, that no output may overwrite.
std::vector<std::pair<std::string, std::string>> inputs_of(const Options &opt)
{
    std::vector<std::pair<std::string, std::string>> in{
        {"--flash", opt.flash}, {"--rom", opt.rom}, {"--image", opt.image}};
    for (const std::string &file : sim::bench_dut_files(opt.dut)) in.emplace_back("--dut", file);
    return in;
}

// The serial port on standard input and output.
std::unique_ptr<sim::SerialHost> stdio_host(const Options &opt, sim::StopSignals &stop)
{
    auto stdio = std::make_unique<sim::StdioHost>(
        opt.stream ? sim::StdioHost::Mode::Stream : sim::StdioHost::Mode::Careful, 0, 1, stop);
    // GDB's socket is looked after between slices: a wait for input may not
    // hold them up.
    if (!opt.gdb.empty()) stdio->set_input_wait_limit(kGdbInputWaitMs);
    return stdio;
}

// Runs the board in slices until the serial host is done, a stop signal
// comes or GDB kills the run. Between two slices GDB is looked after; while
// it holds the core the board does not run at all.
void run_board(sim::Board &board, sim::SerialHost &host, sim::GdbServer *gdb, sim::StopSignals &stop)
{
    const auto done = [&host] { return host.finished(); };
    while (!host.finished() && stop.check() == 0 && !(gdb != nullptr && gdb->killed())) {
        if (gdb != nullptr) {
            gdb->service(kGdbWaitMs);
            if (gdb->holding()) continue; // no time passes anywhere on the board
        }
        // The host reads what the board sent and a stop signal, which comes
        // at no particular access anyway.
        board.run_until(done, kSliceCycles, sim::Board::DoneReads::BoardState);
    }
    if (gdb != nullptr) gdb->finish(0);
}

// The GDB listener --gdb asks for, on the board's Cortex-M0 core; tells on
// standard error where it listens. Throws GdbAddressError.
std::unique_ptr<sim::GdbServer> open_gdb(const Options &opt, sim::Board &board, sim::StopSignals &stop)
{
    if (opt.gdb.empty()) return nullptr;
    auto *cpu = dynamic_cast<sim::ChipCpu *>(&board.cpu());
    if (cpu == nullptr) throw sim::GdbAddressError("debugs the chip image only");
    const sim::GdbAddress address = sim::GdbAddress::parse(opt.gdb);
    auto gdb = std::make_unique<sim::GdbServer>(address, board, *cpu, stop);
    if (opt.gdb_wait) gdb->hold_until_attached();
    if (!address.loopback()) {
        complain("warning: GDB listens on " + address.host +
                 ", not only on this machine's loopback address: anyone who can reach it can take the chip over");
    }
    complain(std::string(opt.gdb_wait ? "waiting for GDB" : "GDB can attach") + " at " + address.host + ":" +
             std::to_string(gdb->port()));
    return gdb;
}

int run(const Options &opt, sim::StopSignals &stop)
{
    // Every output is opened, and the port's link made, before any file is
    // emptied: a run refused here leaves every file as it was (a file made
    // by opening it goes again).
    std::unique_ptr<sim::OutputFile> vcd_file, bus_log_file;
    std::unique_ptr<sim::SerialHost> host;
    try {
        if (!opt.vcd.empty()) vcd_file = std::make_unique<sim::OutputFile>("--vcd", opt.vcd);
        if (!opt.bus_log.empty()) bus_log_file = std::make_unique<sim::OutputFile>("--bus-log", opt.bus_log);
        if (vcd_file && bus_log_file && vcd_file->device() == bus_log_file->device() &&
            vcd_file->inode() == bus_log_file->inode()) {
            throw sim::OutputError(bus_log_file->label() + ": the same file as --vcd");
        }
        for (const sim::OutputFile *out : {vcd_file.get(), bus_log_file.get()}) {
            if (out == nullptr) continue;
            for (const auto &[option, path] : inputs_of(opt)) {
                if (same_file(path, *out)) throw sim::OutputError(out->label() + ": the same file as " + option);
            }
        }
        if (!opt.pty.empty()) host = std::make_unique<sim::PtyHost>(opt.pty, stop);
    } catch (const sim::OutputError &e) {
        complain(e.what());
        return kUsageStatus;
    } catch (const sim::PortLinkError &e) {
        complain(std::string("--pty ") + e.what());
        return kUsageStatus;
    }
    if (!host) host = stdio_host(opt, stop);
    sim::SimBoard board(board_options_of(opt));
    // As an emulator logs guest errors: one line for each register the
    // firmware reaches that the models do not implement, and the run goes on.
    board.set_guest_error_handler([](const sim::GuestError &e) { complain("guest error: " + sim::describe(e)); });
    std::unique_ptr<sim::GdbServer> gdb;
    try {
        gdb = open_gdb(opt, board, stop);
    } catch (const sim::GdbAddressError &e) {
        complain("--gdb " + std::string(e.what()));
        return kUsageStatus;
    }
    StatisticsPrinter stats(opt.stats ? &board : nullptr);
    std::unique_ptr<sim::BusLogWriter> bus_log;
    std::unique_ptr<sim::BusMonitor> bus_monitor;
    if (bus_log_file) {
        bus_log_file->commit();
        bus_log_file->watch(stop);
        bus_log = std::make_unique<sim::BusLogWriter>(std::move(bus_log_file));
        bus_monitor = std::make_unique<sim::BusMonitor>(board.scheduler(), board.gpiof(), bus_log->sink());
    }
    std::unique_ptr<sim::VcdWriter> vcd;
    if (vcd_file) {
        vcd_file->commit();
        vcd_file->watch(stop);
        vcd = std::make_unique<sim::VcdWriter>(std::move(vcd_file), board.scheduler(),
                                               std::vector<std::string>{"pa2", "scl", "sda"});
        vcd->follow(board.gpioa(), 2, 0);
        vcd->follow(board.gpiof(), 0, 1);
        vcd->follow(board.gpiof(), 1, 2);
    }
    host->attach(board);
    run_board(board, *host, gdb.get(), stop);
    const int signal = stop.check();
    host->finish();
    if (vcd) vcd->close();
    if (bus_log) bus_log->close();
    // A pseudo-terminal serves until it is told to stop: that is its end,
    // not an interruption.
    return signal != 0 && opt.pty.empty() ? sim::StopSignals::exit_status(signal) : 0;
}

} // namespace

int main(int argc, char **argv)
{
    try {
        const Options opt = parse(argc, argv);
        sim::StopSignals stop;
        return run(opt, stop);
    } catch (const std::exception &e) {
        complain(e.what());
        return 1;
    }
}
