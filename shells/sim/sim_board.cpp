#include "shells/sim/sim_board.h"

#include <memory>
#include <utility>

#include "board/bench/bench_dut_text.h"
#include "shells/sim/input_files.h"
#include "shells/sim/page_file.h"

namespace sim {

SimBoard::Parts SimBoard::parts_of(const BoardOptions &options)
{
    Parts parts;
    BoardSetup &setup = parts.setup;
    if (!options.flash_file.empty()) setup.settings_store = std::make_unique<PageFile>(options.flash_file);
    setup.synth_xtal_hz = options.synth_xtal_hz;
    setup.dut = parse_bench_dut(options.dut, read_touchstone_file);
    setup.noise = options.noise;
    setup.seed = options.seed;
    parts.cpu =
        options.image.empty() ? HostCpu::factory(options.firmware) : ChipCpu::factory(read_image_file(options.image));
    return parts;
}

SimBoard::SimBoard(const BoardOptions &options) : SimBoard(parts_of(options)) {}

SimBoard::SimBoard(Parts parts) : Board(std::move(parts.setup), parts.cpu) {}

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
