// The command line: what the user asked for, checked before anything is
// sent to the device or any process is started.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/analysis/frequency.h"
#include "core/analysis/sweep.h"
#include "core/flash/image.h"
#include "shells/snt/bench_options.h"
#include "shells/snt/listen_address.h"

namespace snt {

enum class Command { Id, Sweep, Set, Off, Cal, Xtal, Raw, Serve, Plot, Crystal, Flash };

struct SweepOptions {
    SweepPlan plan;
    std::string csv, plot, ref, save_ref;
    std::optional<SweepResult> reference;          // read from `ref` up front
    std::optional<std::pair<double, double>> ylim; // --ylim, dB
    bool log = false;                              // --log (plot: a logarithmic axis)
};

struct Invocation {
    // Set when the command line has been answered already (--help): print
    // `answer` on standard output and exit with this status.
    std::optional<int> done;
    std::string answer;

    Command command = Command::Id;
    std::string port;                      // empty: the virtual device
    std::vector<std::string> sim_args;     // passed on to snt-sim
    std::string dut;                       // --dut as given, for titles
    std::uint32_t frequency = 0;           // set, xtal
    std::string raw_line;                  // raw
    SweepOptions sweep;                    // sweep; plot: plot, ylim, log
    SweepJob job;                          // sweep: averaging, markers, offset, return loss
    CrystalJob crystal;                    // crystal
    std::vector<std::string> plot_files;   // plot: the CSVs to draw
    std::vector<std::string> command_line; // as typed, program name first (for records)
    ListenAddress listen;                  // serve
    // flash: the image, read and checked up front, from `image_file`.
    std::optional<flash::Image> image;
    std::string image_file;
    bool erase_settings = false;
};

// Parses and checks `args` (without the program name): every value, and
// that no output is the same file as an input or as another output. Reads
// the --ref file. Throws InputError with one line for anything wrong.
Invocation parse_arguments(const std::vector<std::string> &args);

} // namespace snt
