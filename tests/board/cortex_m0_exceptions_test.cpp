// The Cortex-M0 core on its own, taking exceptions: entry and return with
// their frames, tail-chaining, priorities and nesting, PRIMASK, NMI, SVC,
// the process stack, and faults up to lock-up.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "board/cpu/cortex_m0.h"
#include "cortex_m0_fixture.h"

namespace {

using namespace snt_test::m0;

// ---------------------------------------------------------------- exceptions

TEST_F(CoreTest, InterruptEntryStacksTheFrameAndReturnRestoresIt)
{
    boot({op::kNop, op::kNop, op::kNop});
    const std::uint32_t values[] = {0x10, 0x11, 0x12, 0x13};
    for (int i = 0; i < 4; ++i) core.set_reg(i, values[i]);
    core.set_reg(12, 0x1C);
    core.set_xpsr(0x90000000);
    EXPECT_EQ(step(), 1u); // a nop
    irq.pend(kIrq0, 64);

    EXPECT_EQ(step(), CortexM0::kEntryCycles);
    EXPECT_EQ(core.pc(), handler(kIrq0));
    EXPECT_EQ(core.current_exception(), kIrq0);
    EXPECT_EQ(core.xpsr() & 0x3F, std::uint32_t(kIrq0));
    EXPECT_EQ(core.execution_priority(), 64);
    EXPECT_EQ(core.reg(14), 0xFFFFFFF9u);
    ASSERT_EQ(core.reg(13), kStackTop - 32);
    const std::uint32_t frame[] = {0x10, 0x11, 0x12, 0x13, 0x1C, 0xFFFFFFFF, kCode + 2, 0x90000000 | kThumb};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(word(kStackTop - 32 + 4 * i), frame[i]) << "word " << i;
    EXPECT_EQ(irq.active, std::set<int>{kIrq0});

    core.set_reg(0, 0xDEAD);
    core.set_xpsr(0);
    EXPECT_EQ(step(), 3 + CortexM0::kReturnCycles); // bx lr and the return
    EXPECT_EQ(core.pc(), kCode + 2);
    EXPECT_EQ(core.reg(0), 0x10u);
    EXPECT_EQ(core.reg(13), kStackTop);
    EXPECT_EQ(core.xpsr(), 0x90000000 | kThumb);
    EXPECT_FALSE(core.handler_mode());
    EXPECT_TRUE(irq.active.empty());
    EXPECT_EQ(irq.log, (std::vector<std::string>{"+16", "-16"}));

    const auto &stats = core.handler_stats(kIrq0);
    EXPECT_EQ(stats.count, 1u);
    EXPECT_EQ(stats.cycles_total, CortexM0::kEntryCycles + 3 + CortexM0::kReturnCycles);
    EXPECT_EQ(stats.cycles_max, stats.cycles_total);
}

TEST_F(CoreTest, FrameIsAlignedToEightBytesAndTheAlignmentUndoneOnReturn)
{
    boot({op::kNop, op::kNop});
    core.set_reg(13, kStackTop - 4);
    irq.pend(kIrq0, 0);
    step();
    EXPECT_EQ(core.reg(13), kStackTop - 40);
    EXPECT_EQ(stacked_xpsr() & (1u << 9), 1u << 9);
    step();
    EXPECT_EQ(core.reg(13), kStackTop - 4);
    EXPECT_EQ(core.pc(), kCode);
}

TEST_F(CoreTest, ReturnGoesStraightToAPendingInterruptByTailChaining)
{
    boot({op::kNop});
    irq.pend(kIrq0, 64);
    irq.pend(kIrq1, 64);
    EXPECT_EQ(step(), CortexM0::kEntryCycles);
    EXPECT_EQ(core.current_exception(), kIrq0); // the lower number first
    const std::uint32_t frame = core.reg(13);

    EXPECT_EQ(step(), 3 + CortexM0::kTailChainCycles);
    EXPECT_EQ(core.current_exception(), kIrq1);
    EXPECT_EQ(core.pc(), handler(kIrq1));
    EXPECT_EQ(core.reg(13), frame);
    EXPECT_EQ(core.reg(14), 0xFFFFFFF9u);

    EXPECT_EQ(step(), 3 + CortexM0::kReturnCycles);
    EXPECT_FALSE(core.handler_mode());
    EXPECT_EQ(core.pc(), kCode);
    EXPECT_EQ(irq.log, (std::vector<std::string>{"+16", "-16", "+17", "-17"}));
    EXPECT_EQ(core.handler_stats(kIrq0).cycles_total, CortexM0::kEntryCycles + 3);
    EXPECT_EQ(core.handler_stats(kIrq1).cycles_total, CortexM0::kTailChainCycles + 3 + CortexM0::kReturnCycles);
}

TEST_F(CoreTest, HigherPriorityPreemptsAndLowerWaits)
{
    boot({op::kNop});
    place(handler(kIrq1), {op::kNop, op::kNop, op::kBxLr});
    irq.pend(kIrq1, 128);
    step();
    ASSERT_EQ(core.current_exception(), kIrq1);
    irq.pend(kIrq2, 192); // less urgent: waits
    irq.pend(kIrq0, 64);  // more urgent: pre-empts
    EXPECT_EQ(step(), CortexM0::kEntryCycles);
    EXPECT_EQ(core.current_exception(), kIrq0);
    EXPECT_EQ(core.reg(14), 0xFFFFFFF1u);
    EXPECT_EQ(core.execution_priority(), 64);
    EXPECT_EQ(stacked_pc(), handler(kIrq1));

    EXPECT_EQ(step(), 3 + CortexM0::kReturnCycles); // back to IRQ1, not to IRQ2
    EXPECT_EQ(core.current_exception(), kIrq1);
    EXPECT_EQ(core.pc(), handler(kIrq1));
    step();
    step();
    EXPECT_EQ(step(), 3 + CortexM0::kTailChainCycles); // IRQ1 returns into IRQ2
    EXPECT_EQ(core.current_exception(), kIrq2);
    step();
    EXPECT_FALSE(core.handler_mode());
    EXPECT_EQ(irq.log, (std::vector<std::string>{"+17", "+16", "-16", "-17", "+18", "-18"}));
}

TEST_F(CoreTest, EqualPriorityDoesNotPreempt)
{
    boot({op::kNop});
    place(handler(kIrq1), {op::kNop, op::kBxLr});
    irq.pend(kIrq1, 64);
    step();
    irq.pend(kIrq0, 64);
    EXPECT_EQ(step(), 1u);
    EXPECT_EQ(core.current_exception(), kIrq1);
}

TEST_F(CoreTest, PrimaskHoldsInterruptsUntilCpsie)
{
    boot({op::kCpsid, op::kNop, op::kCpsie, op::kNop, op::kNop});
    step();
    EXPECT_TRUE(core.primask());
    irq.pend(kIrq0, 0);
    EXPECT_EQ(core.execution_priority(), 0);
    EXPECT_EQ(step(), 1u); // the nop
    EXPECT_FALSE(core.handler_mode());
    EXPECT_EQ(step(), 1u); // cpsie
    EXPECT_FALSE(core.primask());
    EXPECT_EQ(step(), CortexM0::kEntryCycles); // taken before the next instruction
    EXPECT_EQ(core.current_exception(), kIrq0);
    EXPECT_EQ(stacked_pc(), kCode + 6);
}

TEST_F(CoreTest, InterruptTakenInTheSameBatchAfterMsrPrimask)
{
    boot(cat({{op::kCpsid}, op::kMsrPrimask, {op::kNop, op::kNop}}));
    core.set_reg(2, 0);
    step();
    irq.pend(kIrq0, 0);
    // msr (4 cycles), the entry, the handler's bx lr and the return.
    EXPECT_EQ(core.run(core.now() + 4 + CortexM0::kEntryCycles + 3 + CortexM0::kReturnCycles), Stop::Limit);
    EXPECT_EQ(core.handler_stats(kIrq0).count, 1u);
    EXPECT_EQ(core.instructions(), 3u);
    EXPECT_EQ(core.pc(), kCode + 6);
}

TEST_F(CoreTest, NmiPreemptsEvenWithPrimaskSet)
{
    boot({op::kCpsid, op::kNop});
    step();
    core.pend_nmi();
    EXPECT_EQ(step(), CortexM0::kEntryCycles);
    EXPECT_EQ(core.current_exception(), 2);
    EXPECT_EQ(core.execution_priority(), -2);
}

TEST_F(CoreTest, SvcEntersItsHandlerWithTheReturnAfterIt)
{
    boot({op::svc(5), op::kNop});
    irq.priority[kSvCall] = 128;
    EXPECT_EQ(step(), CortexM0::kEntryCycles);
    EXPECT_EQ(core.current_exception(), kSvCall);
    EXPECT_EQ(core.execution_priority(), 128);
    EXPECT_EQ(stacked_pc(), kCode + 2);
    step();
    EXPECT_EQ(core.pc(), kCode + 2);
    EXPECT_TRUE(irq.log.empty()); // SVCall is the core's own
}

TEST_F(CoreTest, SvcThatCannotBeTakenEscalatesToHardFault)
{
    boot({op::kCpsid, op::svc(0)});
    step();
    EXPECT_EQ(core.run(core.now() + 100), Stop::Breakpoint);
    EXPECT_EQ(core.current_exception(), kHardFault);
    EXPECT_EQ(stacked_pc(), kCode + 2);
}

TEST_F(CoreTest, PopOfExcReturnReturnsFromTheHandler)
{
    boot({op::kNop});
    place(handler(kIrq0), {op::push(0, true), op::pop(0, true)});
    irq.pend(kIrq0, 0);
    step();
    EXPECT_EQ(step(), 2u);
    EXPECT_EQ(step(), 4 + CortexM0::kReturnCycles);
    EXPECT_FALSE(core.handler_mode());
    EXPECT_EQ(core.pc(), kCode);
    EXPECT_EQ(core.reg(13), kStackTop);
}

TEST_F(CoreTest, ThreadModeOnTheProcessStackReturnsToIt)
{
    boot(cat({op::kMsrPsp, {op::movs(0, 2)}, op::kMsrControl, {op::kNop}, op::kMrsControl}));
    core.set_reg(0, kRam + 0x800);
    step();
    step();
    step();
    EXPECT_EQ(core.reg(13), kRam + 0x800);
    irq.pend(kIrq0, 0);
    step();
    EXPECT_EQ(core.reg(14), 0xFFFFFFFDu);
    EXPECT_EQ(core.reg(13), kStackTop); // handlers run on the main stack
    EXPECT_EQ(word(kRam + 0x800 - 32 + 24), kCode + 10);
    step();
    EXPECT_EQ(core.reg(13), kRam + 0x800);
    EXPECT_FALSE(core.handler_mode());
    step();
    step();
    EXPECT_EQ(core.reg(1), 2u);
}

// ---------------------------------------------------------------- faults

struct FaultCase {
    const char *name;
    Program program;
};

class UndefinedTest : public CoreTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UndefinedTest, RaisesHardFaultAtTheInstruction)
{
    boot(GetParam().program);
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Breakpoint);
    EXPECT_EQ(core.pc(), handler(kHardFault));
    EXPECT_EQ(core.current_exception(), kHardFault);
    EXPECT_EQ(core.execution_priority(), -1);
    EXPECT_EQ(stacked_pc(), kCode);
    EXPECT_EQ(core.instructions(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    NotOnTheM0, UndefinedTest,
    ::testing::Values(FaultCase{"udf", {op::kUdf}}, FaultCase{"cbz", {0xB100}}, FaultCase{"cbnz", {0xB900}},
                      FaultCase{"it", {0xBF08}}, FaultCase{"setend", {0xB658}}, FaultCase{"rev_gap", {0xBA80}},
                      FaultCase{"misc_b7", {0xB700}}, FaultCase{"udf_w", {0xF7F0, 0xA000}},
                      FaultCase{"nop_w", {0xF3AF, 0x8000}}, FaultCase{"ldr_w", {0xF8D0, 0x0004}},
                      FaultCase{"t2_e800", {0xE800, 0x0000}}, FaultCase{"t2_ffff", {0xFFFF, 0xFFFF}},
                      FaultCase{"mrs_to_pc", {0xF3EF, 0x8F10}}, FaultCase{"barrier_gap", {0xF3BF, 0x8F2F}}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

struct AccessFaultCase {
    const char *name;
    std::uint16_t opcode;
    std::uint32_t address; // in r1
};

class AccessFaultTest : public CoreTest, public ::testing::WithParamInterface<AccessFaultCase> {};

TEST_P(AccessFaultTest, RaisesHardFault)
{
    boot({GetParam().opcode});
    core.set_reg(1, GetParam().address);
    Stop stop = core.run(core.now() + 1000);
    if (stop == Stop::BusAccess) stop = core.run(core.now() + 1000); // it reached the bus, which faulted it
    EXPECT_EQ(stop, Stop::Breakpoint);
    EXPECT_EQ(core.current_exception(), kHardFault);
    EXPECT_EQ(stacked_pc(), kCode);
}

INSTANTIATE_TEST_SUITE_P(
    Accesses, AccessFaultTest,
    ::testing::Values(AccessFaultCase{"ldr_unaligned", op::ldr(2, 1, 0), kRam + 2},
                      AccessFaultCase{"str_unaligned", op::str(2, 1, 0), kRam + 1},
                      AccessFaultCase{"ldrh_odd", op::ldrh(2, 1, 0), kRam + 1},
                      AccessFaultCase{"strh_odd", op::strh(2, 1, 0), kRam + 3},
                      AccessFaultCase{"ldm_unaligned", op::ldm(1, 0x0C), kRam + 2},
                      AccessFaultCase{"bus_error", op::ldr(2, 1, 0), 0x50000000},
                      AccessFaultCase{"ldr_peripheral_unaligned", op::ldr(2, 1, 0), kPeripherals + 2}),
    [](const ::testing::TestParamInfo<AccessFaultCase> &info) { return std::string(info.param.name); });

TEST_F(CoreTest, BranchToArmStateFaultsAtTheTarget)
{
    boot({op::bx(3)});
    core.set_reg(3, kCode + 0x20);
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Breakpoint);
    EXPECT_EQ(core.current_exception(), kHardFault);
    EXPECT_EQ(stacked_pc(), kCode + 0x20);
    EXPECT_EQ(stacked_xpsr() & kThumb, 0u);
}

TEST_F(CoreTest, ExecutingFromPeripheralSpaceFaults)
{
    boot({op::bx(3)});
    core.set_reg(3, kPeripherals | 1);
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Breakpoint);
    EXPECT_EQ(core.current_exception(), kHardFault);
    EXPECT_EQ(stacked_pc(), kPeripherals);
}

TEST_F(CoreTest, FaultInTheHardFaultHandlerLocksUp)
{
    boot({op::kUdf});
    place(handler(kHardFault), {op::kNop, op::kUdf});
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Lockup);
    EXPECT_TRUE(core.locked_up());
    EXPECT_EQ(core.pc(), handler(kHardFault) + 2);
    const Cycles then = core.now();
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Lockup);
    EXPECT_EQ(core.now(), then);
    core.reset();
    EXPECT_FALSE(core.locked_up());
}

TEST_F(CoreTest, StackingFaultWhileEnteringHardFaultLocksUp)
{
    boot({op::kUdf});
    core.set_reg(13, 0x50000020); // the frame would go where nothing answers
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Lockup);
}

TEST_F(CoreTest, BadExcReturnFaults)
{
    boot({op::kNop});
    place(handler(kIrq0), {op::bx(3)});
    irq.pend(kIrq0, 0);
    step();
    core.set_reg(3, 0xFFFFFFF1); // back to a handler, but none is below
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Breakpoint);
    EXPECT_EQ(core.current_exception(), kHardFault);
}

} // namespace
