// Where the chip image spends a sweep: guest instructions, core cycles and
// peripheral accesses per function of the image, from the core's trace
// (the same cycles as the fast path: the lock-step tests hold them to it).
// What an optimisation of the board's Cortex-M0 core has to go after.
//
//   build/bench/bin/chip_profile image.elf [points]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "board/cpu/chip_cpu.h"
#include "shells/sim/sim_board.h"

namespace {

// Peripherals and the core's system space: what goes through the board.
constexpr std::uint32_t kPeripheralSpace = 0x40000000;

struct Figures {
    std::uint64_t instructions = 0, cycles = 0, accesses = 0;
};

// The function an address lies in: describe() gives "0x... (name+0x...)".
std::string function_of(const sim::ElfImage &image, std::uint32_t pc)
{
    std::string where = image.describe(pc);
    const std::size_t open = where.find('(');
    if (open == std::string::npos) return where;
    const std::size_t end = where.find_first_of("+)", open);
    return where.substr(open + 1, end - open - 1);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s image.elf [points]\n", argv[0]);
        return 2;
    }
    const int points = argc > 2 ? std::atoi(argv[2]) : 50;
    sim::BoardOptions options;
    options.image = argv[1];
    sim::SimBoard board(options);
    sim::ChipCpu *chip = board.chip();
    if (chip == nullptr) return 1;
    std::size_t lines = 0;
    board.usart().set_tx_sink([&lines](std::uint8_t b) { lines += b == '\r'; });
    if (!board.run_until_idle(sim::kCoreHz)) return 1;

    std::unordered_map<std::uint32_t, Figures> by_pc;
    chip->core().set_trace([&by_pc](const sim::CortexM0::TraceRecord &r) {
        Figures &f = by_pc[r.pc];
        ++f.instructions;
        f.cycles += r.cycles;
        for (const auto &a : r.accesses) f.accesses += a.address >= kPeripheralSpace;
    });
    const std::string command = "f 1000000\rr 10000 " + std::to_string(points) + "\r";
    const std::size_t expected = lines + static_cast<std::size_t>(points);
    board.usart().host_send(reinterpret_cast<const std::uint8_t *>(command.data()), command.size());
    if (!board.run_until([&] { return lines >= expected && board.firmware_idle(); }, sim::kCoreHz * 3600)) return 1;
    chip->core().set_trace(nullptr);

    std::map<std::string, Figures> by_function;
    Figures total;
    for (const auto &[pc, f] : by_pc) {
        Figures &g = by_function[function_of(chip->image(), pc)];
        g.instructions += f.instructions;
        g.cycles += f.cycles;
        g.accesses += f.accesses;
        total.instructions += f.instructions;
        total.cycles += f.cycles;
        total.accesses += f.accesses;
    }
    std::vector<std::pair<std::string, Figures>> rows(by_function.begin(), by_function.end());
    std::sort(rows.begin(), rows.end(),
              [](const auto &a, const auto &b) { return a.second.instructions > b.second.instructions; });
    std::printf("%d points: per point %.0f instructions, %.0f cycles executed, %.0f peripheral accesses\n", points,
                double(total.instructions) / points, double(total.cycles) / points, double(total.accesses) / points);
    std::printf("%-32s %12s %7s %12s %12s\n", "function", "instr/point", "share", "cycles/point", "access/point");
    for (const auto &[name, f] : rows) {
        if (f.instructions * 1000 < total.instructions) break; // under 0.1 %
        std::printf("%-32s %12.0f %6.1f%% %12.0f %12.0f\n", name.c_str(), double(f.instructions) / points,
                    100.0 * f.instructions / total.instructions, double(f.cycles) / points,
                    double(f.accesses) / points);
    }
    return 0;
}
