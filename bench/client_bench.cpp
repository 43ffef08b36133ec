// The protocol client's sweep as `snt serve` runs it (one `f`, then `r` in
// commands of 25 points), on the virtual board in this process
// (VirtualLink) and on snt-sim on a pseudo-terminal: the wall time of the
// sweep, fastest and median of several rounds (the machine is shared), and
// the CPU time it cost this process; for the board in this process also
// the sweep's time on the board's own clock.
//
//   build/bench/bin/client_bench [points] [rounds]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shells/serve/virtual_link.h"
#include "shells/snt/device.h"
#include "shells/snt/serial_port.h"
#include "shells/snt/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds(int who = RUSAGE_SELF)
{
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
        static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Figures {
    std::vector<double> wall, cpu;
    double device = 0;   // seconds on the board's clock
    double children = 0; // CPU seconds of snt-sim, start and greeting included
};

void sweep(snt::Link &link, std::uint32_t points, Figures &f)
{
    snt::Device device(link);
    const snt::ClientTime device_start = link.now();
    const double cpu0 = cpu_seconds();
    const auto t0 = Clock::now();
    device.sweep_points(
        5000000, 50000, points, [](std::uint32_t, snt::Device::Level) { return true; }, 25);
    f.wall.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    f.cpu.push_back(cpu_seconds() - cpu0);
    f.device = static_cast<double>(link.now() - device_start) / 1e6;
}

void print(const char *what, Figures &f, std::uint32_t points)
{
    std::sort(f.wall.begin(), f.wall.end());
    std::sort(f.cpu.begin(), f.cpu.end());
    std::printf("%s: %u points in %.3f s wall (median %.3f s), %.3f s CPU in this process (median %.3f s)", what,
                points, f.wall.front(), f.wall[f.wall.size() / 2], f.cpu.front(), f.cpu[f.cpu.size() / 2]);
    if (f.device > 0)
        std::printf("; %.2f s on the board's clock: %.0f times faster", f.device, f.device / f.wall.front());
    if (f.children > 0) std::printf("; snt-sim %.3f s CPU a run", f.children / static_cast<double>(f.wall.size()));
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    const auto points = static_cast<std::uint32_t>(argc > 1 ? std::atoi(argv[1]) : 221);
    const int rounds = std::max(1, argc > 2 ? std::atoi(argv[2]) : 7);
    const std::vector<std::string> dut{"--dut", "bandpass:10.7M:1M"};
    Figures in_process, on_pty;
    try {
        for (int round = 0; round < rounds; ++round) {
            sweep(*snt::open_virtual_board(dut), points, in_process);
            const double children = cpu_seconds(RUSAGE_CHILDREN);
            {
                snt::SimProcess sim(snt::SimProcess::default_program(), dut);
                snt::SerialPort port(sim.port());
                sweep(port, points, on_pty);
                on_pty.device = 0; // a serial port's clock is the wall's
            }
            on_pty.children += cpu_seconds(RUSAGE_CHILDREN) - children;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "client_bench: %s\n", e.what());
        return 1;
    }
    print("board in this process", in_process, points);
    print("snt-sim on a pty     ", on_pty, points);
    return 0;
}
