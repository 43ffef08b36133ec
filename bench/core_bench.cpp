// Runs a small program on the Cortex-M0 core alone, as fast as it goes, and
// prints how many instructions and core cycles it executes per wall second.
// The program is an inner loop of loads, stores, ALU operations and a
// branch, and a call per pass to a function with a multiply loop.
//
//   build/bench/bin/core_bench [million cycles]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "board/cpu/cortex_m0.h"

namespace {

class NoBus final : public sim::CortexM0::Bus {
public:
    std::uint32_t read(std::uint32_t, unsigned) override { throw Fault{}; }
    void write(std::uint32_t, std::uint32_t, unsigned) override { throw Fault{}; }
};

class NoInterrupts final : public sim::CortexM0::ExceptionSource {
public:
    int next_to_take(int) override { return -1; }
    int priority_of(int) override { return 0; }
    void activate(int) override {}
    void deactivate(int) override {}
};

// Vector table (SP, reset) and the program, as assembled for 0x08000000.
const std::vector<std::uint16_t> kProgram = {
    0x1000, 0x2000, 0x0009, 0x0800, // initial SP 0x20001000, reset at 0x08000008
    0x4e0b,                         //        ldr  r6, =0x20000000
    0x2500,                         //        movs r5, #0
    0x2464,                         // outer: movs r4, #100
    0x6830,                         // inner: ldr  r0, [r6, #0]
    0x1900,                         //        adds r0, r0, r4
    0x00c1,                         //        lsls r1, r0, #3
    0x4041,                         //        eors r1, r0
    0x6071,                         //        str  r1, [r6, #4]
    0x7972,                         //        ldrb r2, [r6, #5]
    0x18ad,                         //        adds r5, r5, r2
    0x3c01,                         //        subs r4, #1
    0xd1f6,                         //        bne  inner
    0xf000, 0xf801,                 //        bl   func
    0xe7f2,                         //        b    outer
    0xb510,                         // func:  push {r4, lr}
    0x240a,                         //        movs r4, #10
    0x4368,                         // 1:     muls r0, r5
    0x1040,                         //        asrs r0, r0, #1
    0x3c01,                         //        subs r4, #1
    0xd1fb,                         //        bne  1b
    0x60b0,                         //        str  r0, [r6, #8]
    0xbd10,                         //        pop  {r4, pc}
    0x0000, 0x0000, 0x2000,         //        (pad) .word 0x20000000
};

} // namespace

int main(int argc, char **argv)
{
    const double million_cycles = argc > 1 ? std::atof(argv[1]) : 2000;
    NoBus bus;
    NoInterrupts interrupts;
    sim::CortexM0 core(bus, interrupts);
    core.load(0x08000000, reinterpret_cast<const std::uint8_t *>(kProgram.data()), kProgram.size() * 2);
    core.reset();

    const auto limit = static_cast<sim::CortexM0::Cycles>(million_cycles * 1e6);
    const auto start = std::chrono::steady_clock::now();
    const sim::CortexM0::Stop stop = core.run(limit);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (stop != sim::CortexM0::Stop::Limit) {
        std::fprintf(stderr, "the program stopped early (reason %d) at 0x%08X\n", static_cast<int>(stop), core.pc());
        return 1;
    }
    const double instructions = static_cast<double>(core.instructions());
    const double cycles = static_cast<double>(core.now());
    std::printf("%.0f M instructions, %.0f M cycles in %.3f s\n", instructions / 1e6, cycles / 1e6, wall);
    std::printf("%.1f M instructions/s, %.1f M cycles/s (%.0fx an 8 MHz chip)\n", instructions / 1e6 / wall,
                cycles / 1e6 / wall, cycles / wall / 8e6);
    return 0;
}
