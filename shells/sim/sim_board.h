// The board as snt-sim and the tests build it: from options that name
// files. It reads them (the chip image, a Touchstone file, the settings
// page's file) and puts on the board the CPU they ask for: the firmware's
// host build (HostCpu) or the chip image on the Cortex-M0 core (ChipCpu).
#pragma once

#include <cstdint>
#include <string>

#include "board/board.h"
#include "board/cpu/chip_cpu.h"
#include "shells/sim/firmware_module.h"
#include "shells/sim/host_cpu.h"

namespace sim {

struct BoardOptions {
    std::string firmware = FirmwareModule::default_path();
    // The synthesizer's real crystal, which may differ from the value the
    // firmware has stored for it.
    double synth_xtal_hz = XTAL_DEFAULT;
    // File holding the settings page, byte for byte (shells/sim/page_file.h);
    // empty: kept in memory.
    std::string flash_file;
    // What is connected between output 1 and the mixer (board/bench/dut_text.h
    // and bench_dut_text.h).
    std::string dut = "thru";
    // Noise on PA0: standard deviation in ADC counts, and the seed of its
    // sequence (board/bench/analog.h).
    double noise = AnalogFrontEnd::kDefaultNoise;
    std::uint64_t seed = 1;
    // A chip image (ELF) to run on the board's Cortex-M0 core instead of the
    // firmware's host build; empty: the host build.
    std::string image;
};

class SimBoard final : public Board {
public:
    // Throws PageFileError for a page file it cannot keep, DutError for a
    // device text it cannot use, and ImageError for a chip image it cannot
    // run, in that order.
    explicit SimBoard(const BoardOptions &options = BoardOptions{});

    // The host build of the firmware; throws BoardError when the board runs
    // a chip image instead.
    FirmwareModule &firmware();
    // The CPU running the host build, or nullptr.
    HostCpu *host_cpu() { return dynamic_cast<HostCpu *>(&cpu()); }
    // The Cortex-M0 core running the chip image, or nullptr.
    ChipCpu *chip() { return dynamic_cast<ChipCpu *>(&cpu()); }

    // Register accesses the host build has made (0 on the chip image).
    std::uint64_t accesses();

private:
    // What the options make, read in order.
    struct Parts {
        BoardSetup setup;
        CpuFactory cpu;
    };
    static Parts parts_of(const BoardOptions &options);
    explicit SimBoard(Parts parts);
};

} // namespace sim
