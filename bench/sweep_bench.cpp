// Runs a 1000-point sweep on the virtual board and prints how much faster
// than the real device it went: simulated seconds, wall seconds, ratio.
//
//   build/bench/bin/sweep_bench [points] [dut]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "board.h"

int main(int argc, char **argv)
{
    const int points = argc > 1 ? std::atoi(argv[1]) : 1000;
    sim::BoardOptions options;
    if (argc > 2) options.dut = argv[2];
    sim::Board board(options);
    std::size_t lines = 0;
    board.usart().set_tx_sink([&lines](std::uint8_t b) { lines += b == '\r'; });
    if (!board.run_until_idle(sim::kCoreHz)) {
        std::fprintf(stderr, "start-up did not finish\n");
        return 1;
    }
    const std::string command = "f 1000000\rr 10000 " + std::to_string(points) + "\r";
    const std::size_t expected = lines + static_cast<std::size_t>(points);

    const sim::Cycles start = board.now();
    const auto wall_start = std::chrono::steady_clock::now();
    board.usart().host_send(reinterpret_cast<const std::uint8_t *>(command.data()), command.size());
    const bool done = board.run_until([&] { return lines >= expected && board.firmware_idle(); },
                                      sim::kCoreHz * 3600);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    const double simulated = static_cast<double>(board.now() - start) / sim::kCoreHz;
    if (!done) {
        std::fprintf(stderr, "the sweep did not finish\n");
        return 1;
    }
    std::printf("sweep of %d points: simulated %.3f s, wall %.3f s, %.1f times faster than the device\n", points,
                simulated, wall, simulated / wall);
    std::printf("register accesses: %llu (%.1f million per wall second)\n",
                static_cast<unsigned long long>(board.accesses()), board.accesses() / wall / 1e6);
    return 0;
}
