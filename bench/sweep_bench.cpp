// Runs a 1000-point sweep on the virtual board and prints how much faster
// than the real device it went: simulated seconds, wall seconds, ratio.
// With an image it runs on the board's Cortex-M0 core and also prints the
// board's statistics of the sweep (the ADC handler's cycles, overruns).
//
//   build/bench/bin/sweep_bench [points] [dut] [image.elf] [replies-file]
//
// With a replies file it also writes every byte the firmware sent, so that
// two builds of the board can be compared byte for byte (bench/compare_runs.sh).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "board/statistics.h"
#include "shells/sim/sim_board.h"

int main(int argc, char **argv)
{
    const int points = argc > 1 ? std::atoi(argv[1]) : 1000;
    sim::BoardOptions options;
    if (argc > 2) options.dut = argv[2];
    if (argc > 3) options.image = argv[3];
    const std::string replies_path = argc > 4 ? argv[4] : "";
    sim::SimBoard board(options);
    std::size_t lines = 0;
    std::string replies;
    board.usart().set_tx_sink([&lines, &replies](std::uint8_t b) {
        lines += b == '\r';
        replies.push_back(static_cast<char>(b));
    });
    // Start-up, then the measurement it starts, during which an image whose
    // detector is too slow loses received bytes.
    bool started = board.run_until_idle(sim::kCoreHz);
    if (started) {
        board.run_for(sim::kCoreHz / 25);
        started = board.run_until_idle(sim::kCoreHz);
    }
    if (!started) {
        std::fprintf(stderr, "start-up did not finish\n");
        return 1;
    }
    const std::string command = "f 1000000\rr 10000 " + std::to_string(points) + "\r";
    const std::size_t expected = lines + static_cast<std::size_t>(points);

    const sim::Cycles start = board.now();
    const auto wall_start = std::chrono::steady_clock::now();
    board.usart().host_send(reinterpret_cast<const std::uint8_t *>(command.data()), command.size());
    const bool done = board.run_until([&] { return lines >= expected && board.firmware_idle(); }, sim::kCoreHz * 3600,
                                      sim::Board::DoneReads::BoardState);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    const double simulated = static_cast<double>(board.now() - start) / sim::kCoreHz;
    if (!done) {
        std::fprintf(stderr, "the sweep did not finish\n");
        return 1;
    }
    std::printf("%s: sweep of %d points: simulated %.3f s, wall %.3f s, %.1f times faster than the device\n",
                options.image.empty() ? "host build" : "chip image on the Cortex-M0 core", points, simulated, wall,
                simulated / wall);
    if (options.image.empty()) {
        std::printf("register accesses: %llu (%.1f million per wall second)\n",
                    static_cast<unsigned long long>(board.accesses()), board.accesses() / wall / 1e6);
    }
    for (const auto &[name, value] : sim::statistics(board)) std::printf("%s %s\n", name.c_str(), value.c_str());
    if (!replies_path.empty()) {
        std::FILE *out = std::fopen(replies_path.c_str(), "wb");
        const bool written = out != nullptr && std::fwrite(replies.data(), 1, replies.size(), out) == replies.size();
        if (out == nullptr || std::fclose(out) != 0 || !written) {
            std::fprintf(stderr, "cannot write %s\n", replies_path.c_str());
            return 1;
        }
    }
    return 0;
}
