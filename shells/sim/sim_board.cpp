#include "shells/sim/sim_board.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <utility>

#include "board/bench/bench_dut_text.h"
#include "shells/sim/input_files.h"
#include "shells/sim/page_file.h"

namespace sim {

namespace {

std::string hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

} // namespace

bool SimBoard::rom_without_image(const std::string &path)
{
    PageFile rom(path, kRomFile);
    std::vector<std::uint8_t> bytes(kRomFile.size);
    if (!rom.load(bytes.data(), bytes.size())) return true;
    return std::all_of(bytes.begin(), bytes.begin() + Flash::kProgramSize, [](std::uint8_t b) { return b == 0xFF; });
}

std::vector<std::uint8_t> SimBoard::program_of(const ElfImage &image)
{
    std::vector<std::uint8_t> program(Flash::kProgramSize, 0xFF);
    for (const auto &segment : image.segments()) {
        const std::uint32_t at = segment.address - kFlashMemoryBase;
        if (at >= program.size() || program.size() - at < segment.bytes.size()) {
            throw ImageError(image.name() + ": " + std::to_string(segment.bytes.size()) + " bytes at " +
                             hex(segment.address) + " do not fit the chip's flash below the settings page");
        }
        std::copy(segment.bytes.begin(), segment.bytes.end(), program.begin() + at);
    }
    return program;
}

void SimBoard::check_files(const BoardOptions &options)
{
    if (!options.rom_file.empty() && !options.flash_file.empty())
        throw PageFileError("a rom file holds the settings page too: give --rom or --flash, not both");
    if (!options.flash_file.empty()) PageFile::check(options.flash_file);
    if (!options.rom_file.empty()) PageFile::check(options.rom_file, kRomFile);
}

SimBoard::Parts SimBoard::parts_of(const BoardOptions &options)
{
    check_files(options);
    Parts parts;
    BoardSetup &setup = parts.setup;
    if (!options.flash_file.empty()) setup.settings_store = std::make_unique<PageFile>(options.flash_file);
    if (!options.rom_file.empty()) {
        setup.settings_store = std::make_unique<PageFile>(options.rom_file, kRomFile);
        setup.store_region = Flash::Region::WholeFlash;
    }
    setup.synth_xtal_hz = options.synth_xtal_hz;
    setup.dut = parse_bench_dut(options.dut, read_touchstone_file);
    setup.noise = options.noise;
    setup.seed = options.seed;
    const bool from_flash = options.boot0 || !options.rom_file.empty();
    if (!from_flash) {
        parts.cpu = options.image.empty() ? HostCpu::factory(options.firmware)
                                          : ChipCpu::factory(read_image_file(options.image));
        return parts;
    }
    std::optional<ElfImage> elf;
    if (!options.image.empty()) {
        elf = read_image_file(options.image);
        if (!options.rom_file.empty() && !rom_without_image(options.rom_file)) {
            throw ImageError("rom file " + options.rom_file +
                             " holds an image already: give --image only with a new or erased rom");
        }
        setup.program = program_of(*elf);
    }
    if (!options.boot0) {
        parts.cpu = ChipCpu::from_flash(elf);
        return parts;
    }
    parts.cpu = BootCpu::factory([elf](Board &board, std::uint32_t vectors, const std::vector<std::uint8_t> &ram) {
        return ChipCpu::from_flash(elf, vectors, ram)(board);
    });
    return parts;
}

SimBoard::SimBoard(const BoardOptions &options) : SimBoard(parts_of(options)) {}

SimBoard::SimBoard(Parts parts) : Board(std::move(parts.setup), parts.cpu) {}

ChipCpu *SimBoard::chip()
{
    if (BootCpu *b = boot()) return dynamic_cast<ChipCpu *>(b->program());
    return dynamic_cast<ChipCpu *>(&cpu());
}

FirmwareModule &SimBoard::firmware()
{
    HostCpu *host = host_cpu();
    if (host == nullptr) throw BoardError("the board runs a chip image, not the firmware's host build");
    return host->firmware();
}

std::uint64_t SimBoard::accesses()
{
    const HostCpu *host = host_cpu();
    return host != nullptr ? host->accesses() : 0;
}

} // namespace sim
