// The fast path's delay loops (CortexM0::fast_forward) against the same
// image with every instruction interpreted (a trace set: the core then lets
// no pass go at once). Two boards run the same session and stop at the same
// times, as a test waiting for a time does; at every stop they must agree
// on the core's whole state, the board's time and the bus pins.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <ostream>
#include <string>

#include "board/cpu/chip_cpu.h"
#include "board/peripherals/memory_map.h"
#include "board_fixture.h"
#include "shells/sim/sim_board.h"

namespace {

using snt_test::Cycles;
using snt_test::ms;

sim::BoardOptions with_image()
{
    sim::BoardOptions o;
    o.image = SNT_CHIP_IMAGE;
    return o;
}

struct Twin {
    sim::SimBoard board{with_image()};
    sim::CortexM0 &core() { return board.chip()->core(); }

    void send(const char *line)
    {
        board.usart().host_send(reinterpret_cast<const std::uint8_t *>(line), std::strlen(line));
    }
    // Runs to `t` as a test waiting for a time does, with room to spare: the
    // run ends after the first access at or after `t` (the stop condition is
    // looked at after every access), or at a millisecond past it.
    void run_to(Cycles t)
    {
        board.run_until([&] { return board.now() >= t; }, (t > board.now() ? t - board.now() : 0) + ms(1));
    }
    std::string state()
    {
        std::string s = "now " + std::to_string(board.now()) + " core " + std::to_string(core().now()) + " instr " +
            std::to_string(core().instructions()) + " xpsr " + std::to_string(core().xpsr()) + " odr " +
            std::to_string(board.gpioa().odr()) + "/" + std::to_string(board.gpiof().odr()) + " r";
        for (int i = 0; i < 16; ++i) s += " " + std::to_string(core().reg(i));
        return s;
    }
};

// What may keep the fast board from letting passes go.
enum class Watch {
    Nothing,
    Pulse,      // a listener on PA2, the delay loop's pulse pin
    Watchpoint, // a debugger's watchpoint (on a register the firmware leaves alone)
};

struct Case {
    const char *name;
    Cycles stride; // between two stops
    Cycles span;   // of the window looked at, from the command
    Watch watch;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class ChipDelayLoopTest : public ::testing::TestWithParam<Case> {};

TEST_P(ChipDelayLoopTest, StopsWhereEveryInstructionInterpretedStops)
{
    const Case c = GetParam();
    Twin fast, slow;
    slow.core().set_trace([](const sim::CortexM0::TraceRecord &) {});
    std::optional<snt_test::PinTrace> pulse;
    if (c.watch == Watch::Pulse) pulse.emplace(fast.board, fast.board.gpioa(), 2);
    if (c.watch == Watch::Watchpoint)
        fast.core().set_watchpoints({{sim::kGpioaBase + sim::Gpio::kLckr, 4, true, true}});
    for (Twin *t : {&fast, &slow}) {
        ASSERT_TRUE(t->board.run_until_idle(ms(200)));
        // A frequency (the synthesizer's bus, its delays), then a short sweep
        // (SysTick, the ADC's interrupts and the serial line around them).
        t->send("f 7000000\r");
        t->send("r 1000 4\r");
    }
    ASSERT_EQ(fast.state(), slow.state());
    const Cycles from = fast.board.now();
    for (Cycles t = from + c.stride; t < from + c.span; t += c.stride) {
        fast.run_to(t);
        slow.run_to(t);
        ASSERT_EQ(fast.state(), slow.state()) << "stopping at " << t;
    }
    EXPECT_EQ(slow.core().fast_forwarded_passes(), 0u);
    if (c.watch == Watch::Pulse) {
        EXPECT_EQ(fast.core().fast_forwarded_passes(), 0u) << "PA2 is watched: every pulse must be made";
        EXPECT_GT(pulse->rising_edges(from), 100);
    } else if (c.watch == Watch::Watchpoint) {
        EXPECT_EQ(fast.core().fast_forwarded_passes(), 0u) << "a debugger's watchpoint sees every access";
    } else {
        EXPECT_GT(fast.core().fast_forwarded_passes(), 100u) << "the window had no delay loop to let go";
    }
}

// Strides down to a cycle stop inside the loops' passes; the longer ones let
// events (SysTick, the ADC, the serial line) and interrupts fall inside
// skipped stretches' reach.
INSTANTIATE_TEST_SUITE_P(Strides, ChipDelayLoopTest,
                         ::testing::Values(Case{"every_cycle", 1, ms(0.8), Watch::Nothing},
                                           Case{"every_7_cycles", 7, ms(3), Watch::Nothing},
                                           Case{"every_40_cycles", 40, ms(12), Watch::Nothing},
                                           Case{"every_1000_cycles", 1000, ms(40), Watch::Nothing},
                                           Case{"pulse_pin_watched", 40, ms(12), Watch::Pulse},
                                           Case{"watchpoint_set", 40, ms(12), Watch::Watchpoint}),
                         [](const ::testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

} // namespace
