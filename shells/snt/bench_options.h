// The options of the bench jobs: what `snt sweep` does beyond one sweep
// (averaging, markers, an offset, return loss, the outputs off after it),
// and `snt crystal`. Read as text by CLI11, then checked here before
// anything is sent.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/analysis/sweep.h"

namespace snt {

// What `snt sweep` does beyond one sweep.
struct SweepJob {
    std::uint32_t average = 1;        // --average: sweeps, their mean in power
    std::vector<std::uint32_t> marks; // --marker, in the order given
    bool off_after = false;           // --off-after
    double offset_db = 0;             // --offset: a known loss added back
    bool reflection = false;          // --reflection
    double swr_limit = 2;             // --swr-limit
    bool plot_swr = false;            // --plot-swr: plot SWR, not return loss
};

// `snt crystal`.
struct CrystalJob {
    double nominal_hz = 0;
    bool parallel = false;
    double fixture_ohms = 50;
    std::string csv;                // rows appended; empty: none
    std::uint32_t batch = 1;        // crystals one after another
    std::optional<double> match_hz; // group the batch within this
};

// The bench options as typed.
struct BenchRaw {
    std::string average, offset, swr_limit;
    std::vector<std::string> markers;
    bool off_after = false, reflection = false, plot_swr = false;
    std::string nominal, fixture, crystal_csv, batch, match;
    bool parallel = false;
};

// Adds the sweep's bench options to `sweep`.
void add_sweep_job_options(CLI::App &sweep, BenchRaw &r);
// Adds `snt crystal` to `app`.
CLI::App *add_crystal_command(CLI::App &app, BenchRaw &r);

// Checks the sweep's bench options against `plan` and whether a
// reference was given; throws InputError with one line.
SweepJob take_sweep_job(const BenchRaw &r, const SweepPlan &plan, bool has_reference);
// Checks `snt crystal`'s options; throws InputError with one line.
CrystalJob take_crystal_job(const BenchRaw &r);

// The batch a virtual crystal text holds, and the text with crystal
// `index` (from 0) in the fixture: `crystals:FS,...:Q[:N]` with its N
// replaced. nullopt for any other device text.
std::optional<std::size_t> virtual_batch_size(const std::string &dut);
std::string virtual_crystal(const std::string &dut, std::size_t index);

} // namespace snt
