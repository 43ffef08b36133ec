// The board as snt-sim and the tests build it: from options that name
// files. It reads them (the chip image, a Touchstone file, the settings
// page's file or the rom file) and puts on the board the CPU they ask for:
// the firmware's host build (HostCpu), the chip image on the Cortex-M0 core
// (ChipCpu), or, with BOOT0 high, the chip's system bootloader (BootCpu)
// until Go starts what the flash holds on the core.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/boot/boot_cpu.h"
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
    // firmware's host build; empty: the host build. With a rom file or
    // BOOT0 high it is put into flash, and names places in what runs from
    // there while the flash holds its bytes.
    std::string image;
    // File holding the whole 16 KB of flash, the image and the settings page
    // (PageFile with kRomFile); not with flash_file. The board then runs
    // what the flash holds on the Cortex-M0 core.
    std::string rom_file;
    // BOOT0 high: the chip's system bootloader answers on USART1 until Go
    // starts what the flash holds on the core.
    bool boot0 = false;
};

class SimBoard final : public Board {
public:
    // Throws PageFileError for a page or rom file it cannot keep (or both
    // given), DutError for a device text it cannot use, and ImageError for a
    // chip image it cannot run or put into a rom file that holds an image
    // already, in that order.
    explicit SimBoard(const BoardOptions &options = BoardOptions{});

    // The checks of the constructor on the files alone, reading no more than
    // they need: for snt-sim's options, before anything starts.
    static void check_files(const BoardOptions &options);
    // True when the rom file holds no image: missing, or pages 0 to 14
    // erased. PageFileError when it cannot be read.
    static bool rom_without_image(const std::string &path);
    // Pages 0 to 14 of an ELF image, as a programmer writes them (0xFF in
    // gaps); ImageError for a segment outside them.
    static std::vector<std::uint8_t> program_of(const ElfImage &image);

    // The host build of the firmware; throws BoardError when the board runs
    // a chip image instead.
    FirmwareModule &firmware();
    // The CPU running the host build, or nullptr.
    HostCpu *host_cpu() { return dynamic_cast<HostCpu *>(&cpu()); }
    // The Cortex-M0 core running the chip image (after Go, with BOOT0
    // high), or nullptr.
    ChipCpu *chip();
    // The bootloader's CPU when the board started with BOOT0 high, or nullptr.
    BootCpu *boot() { return dynamic_cast<BootCpu *>(&cpu()); }

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
