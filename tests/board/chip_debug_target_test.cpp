// The chip image on the board's Cortex-M0 core through the debugger's
// interface: halts, breakpoints, watchpoints, steps, memory through the
// models without side effects, monitor commands, detach.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "board/debug/chip_debug_target.h"
#include "board/peripherals/memory_map.h"
#include "board_fixture.h"
#include "protocol.h"
#include "shells/sim/sim_board.h"

namespace {

using sim::StopEvent;

class ChipDebugTargetTest : public ::testing::Test {
protected:
    ChipDebugTargetTest() { target.attach(); }

    static sim::BoardOptions with_image()
    {
        sim::BoardOptions o;
        o.image = SNT_CHIP_IMAGE;
        return o;
    }
    std::uint32_t symbol(const char *name) { return board.chip()->image().require(name) & ~1u; }
    std::uint32_t word(std::uint32_t address)
    {
        std::uint32_t v = 0;
        EXPECT_EQ(target.read_memory(address, reinterpret_cast<std::uint8_t *>(&v), 4), 4u) << std::hex << address;
        return v;
    }
    // Resumes and runs the board until the core stops (up to a second of
    // virtual time).
    StopEvent run(sim::ResumeMode mode = sim::ResumeMode::Continue)
    {
        target.resume(mode);
        for (int slice = 0; slice < 1000; ++slice) {
            board.run_until([] { return false; }, sim::kCoreHz / 1000);
            if (const std::optional<StopEvent> s = target.take_stop()) return *s;
        }
        ADD_FAILURE() << "the core did not stop";
        return {};
    }
    std::uint32_t reg(int n) { return target.read_register(n); }
    // Lets the firmware start up (its receiver on, its clocks running) and
    // wait for a line; the debugger stays attached.
    void boot()
    {
        target.resume(sim::ResumeMode::Continue);
        ASSERT_TRUE(board.run_until_idle(sim::kCoreHz));
        ASSERT_FALSE(target.take_stop());
    }
    void send(const char *line)
    {
        board.usart().host_send(reinterpret_cast<const std::uint8_t *>(line), std::strlen(line));
    }

    sim::SimBoard board{with_image()};
    sim::ChipDebugTarget target{board, *board.chip()};
};

TEST_F(ChipDebugTargetTest, HaltedAtResetWhileNoTimePasses)
{
    EXPECT_EQ(reg(sim::debug_reg::kPc), symbol("Reset_Handler"));
    EXPECT_EQ(reg(sim::debug_reg::kSp), board.chip()->image().require("_estack"));
    EXPECT_EQ(reg(sim::debug_reg::kSp), reg(sim::debug_reg::kMsp)) << "sp is the active stack pointer";
    EXPECT_EQ(reg(sim::debug_reg::kXpsr), 0x01000000u);
    board.run_until([] { return false; }, sim::kCoreHz / 100);
    EXPECT_EQ(board.now(), 0u) << "no virtual time passes while the core is halted";
    EXPECT_FALSE(target.take_stop());
}

TEST_F(ChipDebugTargetTest, CtrlCHaltsTheRunningCore)
{
    boot();
    target.interrupt();
    const std::optional<StopEvent> stop = target.take_stop();
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, StopEvent::Kind::Interrupted);
    const sim::Cycles now = board.now();
    board.run_until([] { return false; }, sim::kCoreHz / 100);
    EXPECT_EQ(board.now(), now);
    target.resume(sim::ResumeMode::Continue);
    board.run_until([] { return false; }, sim::kCoreHz / 100);
    EXPECT_GT(board.now(), now);
}

TEST_F(ChipDebugTargetTest, HardwareBreakpointInTheAdcHandlerThenSteps)
{
    const std::uint32_t handler = symbol("ADC1_IRQHandler");
    ASSERT_TRUE(target.add_breakpoint(sim::BreakpointType::Hardware, handler, 2));
    const StopEvent stop = run();
    EXPECT_EQ(stop.kind, StopEvent::Kind::HardwareBreakpoint);
    EXPECT_EQ(reg(sim::debug_reg::kPc), handler);
    EXPECT_EQ(reg(sim::debug_reg::kLr), 0xFFFFFFF9u) << "entered from thread mode on the main stack";
    EXPECT_TRUE(word(reg(sim::debug_reg::kSp) + 28) & 0x01000000u) << "the stacked xPSR has the Thumb bit";
    // The ADC's end of conversion stays set however often the debugger
    // reads the data register: the handler has yet to read it.
    const std::uint32_t eoc = word(sim::kAdcBase) & 4u;
    EXPECT_NE(eoc, 0u);
    word(sim::kAdcBase + 0x40);
    EXPECT_EQ(word(sim::kAdcBase) & 4u, eoc);

    const sim::Cycles before = board.now();
    const std::uint64_t executed = *board.cpu().instructions();
    EXPECT_EQ(run(sim::ResumeMode::Step).kind, StopEvent::Kind::StepDone);
    EXPECT_GT(reg(sim::debug_reg::kPc), handler);
    EXPECT_EQ(*board.cpu().instructions(), executed + 1);
    EXPECT_GT(board.now(), before);
    // Continuing passes the breakpoint: the next stop is the next sample.
    EXPECT_EQ(run().kind, StopEvent::Kind::HardwareBreakpoint);
    EXPECT_EQ(reg(sim::debug_reg::kPc), handler);
}

TEST_F(ChipDebugTargetTest, BreakpointAndWatchpointLimits)
{
    const std::uint32_t code = symbol("main");
    for (std::uint32_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(target.add_breakpoint(sim::BreakpointType::Hardware, code + 2 * i, 2));
    }
    EXPECT_FALSE(target.add_breakpoint(sim::BreakpointType::Hardware, code + 8, 2)) << "four comparators";
    EXPECT_TRUE(target.add_breakpoint(sim::BreakpointType::Software, code + 8, 3));
    EXPECT_FALSE(target.add_breakpoint(sim::BreakpointType::Software, code + 1, 2)) << "odd address";
    EXPECT_FALSE(target.add_breakpoint(sim::BreakpointType::Software, code, 4)) << "kind";
    EXPECT_FALSE(target.add_breakpoint(sim::BreakpointType::Software, 0x30000000, 2)) << "no memory";
    EXPECT_FALSE(target.remove_breakpoint(sim::BreakpointType::Software, code + 10, 2)) << "not there";
    EXPECT_TRUE(target.remove_breakpoint(sim::BreakpointType::Hardware, code, 2));
    EXPECT_TRUE(target.add_breakpoint(sim::BreakpointType::Hardware, code + 8, 2));
    EXPECT_TRUE(target.add_watchpoint(sim::WatchType::Write, sim::kRamBase, 4));
    EXPECT_TRUE(target.add_watchpoint(sim::WatchType::Read, sim::kRamBase + 4, 4));
    EXPECT_FALSE(target.add_watchpoint(sim::WatchType::Access, sim::kRamBase + 8, 4)) << "two comparators";
    EXPECT_FALSE(target.remove_watchpoint(sim::WatchType::Read, sim::kRamBase, 4)) << "another type";
}

TEST_F(ChipDebugTargetTest, WatchpointSeesTheLineHandedOver)
{
    const std::uint32_t flag = symbol("rx_byte_f");
    boot();
    ASSERT_TRUE(target.add_watchpoint(sim::WatchType::Write, flag, 4));
    send("i\r");
    const StopEvent stop = run();
    EXPECT_EQ(stop.kind, StopEvent::Kind::Watchpoint);
    EXPECT_EQ(stop.watch, sim::WatchType::Write);
    EXPECT_EQ(stop.data_address, flag);
    EXPECT_EQ(word(flag), 1u);
}

TEST_F(ChipDebugTargetTest, MemoryThroughTheMapWithoutSideEffects)
{
    // The identification text is in flash.
    std::string text(0x3C00, '\0');
    ASSERT_EQ(target.read_memory(sim::kFlashMemoryBase, reinterpret_cast<std::uint8_t *>(text.data()), text.size()),
              text.size());
    EXPECT_NE(text.find("1.3;VORN"), std::string::npos);
    boot(); // the peripherals' clocks on
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_FALSE(target.write_memory(sim::kFlashMemoryBase, bytes, 4)) << "flash takes writes through its controller";
    EXPECT_TRUE(target.write_memory(sim::kRamBase + 0x100, bytes, 4));
    EXPECT_EQ(word(sim::kRamBase + 0x100), 0x04030201u);
    std::uint8_t out[8] = {};
    EXPECT_EQ(target.read_memory(sim::kRamBase + 0x1000 - 4, out, 8), 4u) << "stops at the end of RAM";
    EXPECT_EQ(target.read_memory(0x30000000, out, 4), 0u) << "nothing mapped";
    EXPECT_FALSE(target.write_memory(0x30000000, bytes, 4));
    // Registers: a word at a time, unimplemented offsets refused without a
    // guest error.
    EXPECT_EQ(target.read_memory(sim::kUsart1Base + 0x1C, out, 4), 4u);
    EXPECT_EQ(target.read_memory(sim::kUsart1Base + 0x3C, out, 4), 0u);
    EXPECT_EQ(board.guest_error_count(), 0u);
}

TEST_F(ChipDebugTargetTest, FlagsAReadWouldClearStaySet)
{
    // Each model's flag that its register's read clears, in a state where
    // it is set: the debugger reads the register twice, the flag stays.
    struct Case {
        const char *handler;
        std::uint32_t data, status, flag;
    };
    const Case cases[] = {
        {"USART1_IRQHandler", sim::kUsart1Base + 0x24, sim::kUsart1Base + 0x1C, 1u << 5}, // RDR, ISR.RXNE
        {"ADC1_IRQHandler", sim::kAdcBase + 0x40, sim::kAdcBase, 1u << 2},                // DR, ISR.EOC
        {"SysTick_Handler", sim::kSysTickBase, sim::kSysTickBase, 1u << 16},              // CTRL.COUNTFLAG
    };
    boot();
    send("r 5000000 100000 3\r"); // received, then measured
    for (const Case &c : cases) {
        SCOPED_TRACE(c.handler);
        ASSERT_TRUE(target.add_breakpoint(sim::BreakpointType::Software, symbol(c.handler), 2));
        ASSERT_EQ(run().kind, StopEvent::Kind::SoftwareBreakpoint);
        EXPECT_NE(word(c.status) & c.flag, 0u);
        word(c.data);
        word(c.data);
        EXPECT_NE(word(c.status) & c.flag, 0u);
        ASSERT_TRUE(target.remove_breakpoint(sim::BreakpointType::Software, symbol(c.handler), 2));
    }
}

TEST_F(ChipDebugTargetTest, MonitorCommandsResetAndDetach)
{
    ASSERT_TRUE(target.add_breakpoint(sim::BreakpointType::Software, symbol("ADC1_IRQHandler"), 2));
    run();
    const sim::MonitorReply cycles = target.monitor("cycles");
    EXPECT_TRUE(cycles.ok);
    EXPECT_EQ(cycles.text.rfind("cycles " + std::to_string(board.now()) + " ", 0), 0u) << cycles.text;
    EXPECT_NE(target.monitor("stats").text.find("irq.ADC1.count "), std::string::npos);
    EXPECT_FALSE(target.monitor("bogus").ok);

    target.reset(sim::ResetMode::Halt);
    EXPECT_EQ(reg(sim::debug_reg::kPc), symbol("Reset_Handler"));
    EXPECT_EQ(word(sim::kSysTickBase), 0u) << "the peripherals start over";

    // After detach the firmware starts over and runs on to its main loop,
    // without stopping at what was set.
    target.detach();
    const snt_test::SerialCapture serial(board);
    EXPECT_TRUE(board.run_until_idle(sim::kCoreHz));
    EXPECT_NE(serial.text().find(ID_TEXT), std::string::npos) << serial.text();
    EXPECT_FALSE(target.take_stop());
}

} // namespace
