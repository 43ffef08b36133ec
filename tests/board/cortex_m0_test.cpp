// The Cortex-M0 core on its own, executing: reset, instruction timing,
// flags, sleep, loop detection, memory and the bus, and tracing. The
// core's neighbours are fakes (cortex_m0_fixture.h).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "board/cpu/cortex_m0.h"
#include "cortex_m0_fixture.h"

namespace {

using namespace snt_test::m0;

// ---------------------------------------------------------------- reset

TEST_F(CoreTest, ResetTakesStackPointerAndEntryFromTheVectorTable)
{
    core.set_reg(3, 42);
    boot({op::kNop});
    EXPECT_EQ(core.reg(13), kStackTop);
    EXPECT_EQ(core.pc(), kCode);
    EXPECT_EQ(core.reg(3), 0u);
    EXPECT_EQ(core.xpsr(), kThumb);
    EXPECT_FALSE(core.handler_mode());
    EXPECT_EQ(core.execution_priority(), 256);
}

// ---------------------------------------------------------------- timing

struct CycleCase {
    const char *name;
    Program program;
    std::map<int, std::uint32_t> regs;
    std::uint32_t xpsr;
    Cycles cycles;
};

class CycleTest : public CoreTest, public ::testing::WithParamInterface<CycleCase> {};

TEST_P(CycleTest, InstructionTakesTheChipsCycles)
{
    const CycleCase &c = GetParam();
    boot(c.program);
    core.poke(kStackTop - 0x100 + 8, kCode + 0x11, 4); // a return address for POP {..., pc}
    core.set_reg(13, kStackTop - 0x100);
    for (const auto &[n, v] : c.regs) core.set_reg(n, v);
    core.set_xpsr(c.xpsr);
    EXPECT_EQ(step(), c.cycles);
    EXPECT_EQ(last_stop, Stop::Limit);
    EXPECT_EQ(core.instructions(), 1u);
    EXPECT_FALSE(core.handler_mode()) << "faulted at " << std::hex << stacked_pc();
}

constexpr std::uint32_t kZ = 1u << 30;

INSTANTIATE_TEST_SUITE_P(
    Representative, CycleTest,
    ::testing::Values(
        CycleCase{"movs", {op::movs(3, 0x55)}, {}, 0, 1}, CycleCase{"adds_reg", {0x18D1}, {}, 0, 1},
        CycleCase{"muls", {op::kMuls}, {{1, 7}, {2, 9}}, 0, 1}, CycleCase{"rev", {op::kRev}, {}, 0, 1},
        CycleCase{"adr", {op::kAdr}, {}, 0, 1}, CycleCase{"add_sp", {op::kAddSp}, {}, 0, 1},
        CycleCase{"mov_high", {op::mov(9, 3)}, {}, 0, 1}, CycleCase{"ldr", {op::ldr(2, 1, 8)}, {{1, kRam}}, 0, 2},
        CycleCase{"str", {op::str(2, 1, 8)}, {{1, kRam}}, 0, 2},
        CycleCase{"ldrh", {op::ldrh(2, 1, 6)}, {{1, kRam}}, 0, 2},
        CycleCase{"ldr_literal", {0x4800, 0, 0, 0}, {}, 0, 2}, CycleCase{"ldr_sp", {0x9902}, {}, 0, 2},
        CycleCase{"push_3", {op::push(0x03, true)}, {}, 0, 4}, CycleCase{"pop_2", {op::pop(0x03, false)}, {}, 0, 3},
        CycleCase{"pop_2_pc", {op::pop(0x03, true)}, {}, 0, 6},
        CycleCase{"ldm_2", {op::ldm(2, 0x0A)}, {{2, kRam}}, 0, 3},
        CycleCase{"stm_3", {op::stm(2, 0x0B)}, {{2, kRam}}, 0, 4}, CycleCase{"b", {op::b(0, 4)}, {}, 0, 3},
        CycleCase{"beq_taken", {op::bcond(op::kEq, 0, 4)}, {}, kZ, 3},
        CycleCase{"beq_not_taken", {op::bcond(op::kEq, 0, 4)}, {}, 0, 1}, CycleCase{"bl", op::kBlNext, {}, 0, 4},
        CycleCase{"bx", {op::bx(3)}, {{3, kCode + 0x21}}, 0, 3},
        CycleCase{"blx", {op::blx(3)}, {{3, kCode + 0x21}}, 0, 3},
        CycleCase{"mov_pc", {op::mov(15, 3)}, {{3, kCode + 0x20}}, 0, 3},
        CycleCase{"add_pc", {op::add(15, 3)}, {{3, 0x10}}, 0, 3}, CycleCase{"mrs", op::kMrsPrimask, {}, 0, 4},
        CycleCase{"msr", op::kMsrPrimask, {}, 0, 4}, CycleCase{"dmb", op::kDmb, {}, 0, 4},
        CycleCase{"dsb", op::kDsb, {}, 0, 4}, CycleCase{"isb", op::kIsb, {}, 0, 4},
        CycleCase{"cpsid", {op::kCpsid}, {}, 0, 1}, CycleCase{"nop", {op::kNop}, {}, 0, 1},
        CycleCase{"yield", {op::kYield}, {}, 0, 1}, CycleCase{"sev", {op::kSev}, {}, 0, 1}),
    [](const ::testing::TestParamInfo<CycleCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- sleep

TEST_F(CoreTest, WfiSleepsUntilAnInterruptIsPending)
{
    boot({op::kWfi, op::kNop});
    EXPECT_EQ(core.run(core.now() + 100), Stop::Sleeping);
    EXPECT_TRUE(core.sleeping());
    EXPECT_EQ(core.pc(), kCode + 2);
    const Cycles asleep = core.now();
    EXPECT_EQ(core.run(core.now() + 100), Stop::Sleeping);
    EXPECT_EQ(core.now(), asleep);
    core.advance(50);
    EXPECT_EQ(core.idle_cycles(), 50u);
    irq.pend(kIrq0, 0);
    step();
    EXPECT_FALSE(core.sleeping());
    EXPECT_EQ(core.current_exception(), kIrq0);
    EXPECT_EQ(stacked_pc(), kCode + 2);
}

TEST_F(CoreTest, WfiWakesWithPrimaskSetWithoutTakingTheInterrupt)
{
    boot({op::kCpsid, op::kWfi, op::kNop, op::kNop});
    step();
    EXPECT_EQ(core.run(core.now() + 100), Stop::Sleeping);
    irq.pend(kIrq0, 0);
    EXPECT_EQ(step(), 1u);
    EXPECT_EQ(core.pc(), kCode + 6);
    EXPECT_FALSE(core.handler_mode());
}

TEST_F(CoreTest, WfiWithAnInterruptAlreadyPendingDoesNotSleep)
{
    boot({op::kCpsid, op::kWfi, op::kNop});
    step();
    irq.pend(kIrq0, 0);
    EXPECT_EQ(step(), 2u);
    EXPECT_EQ(last_stop, Stop::Limit);
}

TEST_F(CoreTest, WfeConsumesAnEventAndOtherwiseSleeps)
{
    boot({op::kSev, op::kWfe, op::kWfe, op::kNop});
    step();
    EXPECT_EQ(step(), 2u);
    EXPECT_EQ(last_stop, Stop::Limit);
    EXPECT_EQ(core.run(core.now() + 100), Stop::Sleeping);
    EXPECT_EQ(core.pc(), kCode + 6);
}

// ---------------------------------------------------------------- loops

TEST_F(CoreTest, LoopPollingRamIsFoundSpinning)
{
    constexpr std::uint32_t flag = kRam + 0x10;
    boot({op::ldr(1, 0, 0), op::cmp(1, 0), op::bcond(op::kEq, 4, 0), op::bkpt(1)});
    core.set_reg(0, flag);
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Spinning);
    EXPECT_EQ(core.spin_period(), 6u); // ldr 2, cmp 1, beq 3
    EXPECT_EQ(core.spin_address(), flag);
    EXPECT_EQ(core.now(), 12u); // found on the second pass

    core.advance(600); // whole passes skipped
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Spinning);
    EXPECT_EQ(core.spin_period(), 6u);
    EXPECT_EQ(core.now(), 12u + 600 + 6);

    core.poke(flag, 1, 4); // what an interrupt handler would do
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Breakpoint);
    EXPECT_EQ(core.pc(), kCode + 6);
}

TEST_F(CoreTest, BranchToItselfSpins)
{
    boot({op::b(0, 0)});
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Spinning);
    EXPECT_EQ(core.spin_period(), 3u);
    EXPECT_EQ(core.spin_address(), 0u);
}

TEST_F(CoreTest, LoopThatStoresIsNotSpinning)
{
    boot({op::ldr(1, 0, 0), op::str(1, 0, 4), op::cmp(1, 0), op::bcond(op::kEq, 6, 0)});
    core.set_reg(0, kRam);
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Limit);

    // Its store written over in flash: now it only polls.
    core.poke(kCode + 2, op::kNop, 2);
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Spinning);
    EXPECT_EQ(core.spin_period(), 7u); // ldr 2, nop 1, cmp 1, beq 3
}

TEST_F(CoreTest, LoopThatCountsIsNotSpinning)
{
    boot({op::adds(2, 1), op::ldr(1, 0, 0), op::cmp(1, 0), op::bcond(op::kEq, 6, 0)});
    core.set_reg(0, kRam);
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Limit);
}

TEST_F(CoreTest, LoopInterruptedByAHandlerStartsOver)
{
    boot({op::ldr(1, 0, 0), op::cmp(1, 0), op::bcond(op::kEq, 4, 0)});
    core.set_reg(0, kRam);
    step();
    step();
    step(); // first arrival
    irq.pend(kIrq0, 0);
    step();
    step(); // the handler returns
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Spinning);
    EXPECT_EQ(core.spin_period(), 6u);
}

TEST_F(CoreTest, LoopPollingAPeripheralIsFoundSpinningAcrossBusStops)
{
    constexpr std::uint32_t status = kPeripherals + 0x13800;
    boot({op::ldr(1, 0, 0), op::tst(1, 2), op::bcond(op::kEq, 4, 0), op::bkpt(1)});
    core.set_reg(0, status);
    core.set_reg(2, 0x80);
    Stop stop = Stop::Limit;
    int batches = 0;
    while (batches < 10 && (stop = core.run(core.now() + 1000)) == Stop::BusAccess) ++batches;
    EXPECT_EQ(stop, Stop::Spinning);
    EXPECT_EQ(batches, 2);
    EXPECT_EQ(core.spin_address(), status);
    EXPECT_EQ(core.spin_period(), 6u);

    bus.values[status] = 0x80;
    EXPECT_EQ(core.run(core.now() + 1000), Stop::BusAccess);
    EXPECT_EQ(core.run(core.now() + 1000), Stop::Breakpoint);
    EXPECT_EQ(core.pc(), kCode + 6);
}

// ---------------------------------------------------------------- memory and bus

TEST_F(CoreTest, BkptStopsAtTheBreakpoint)
{
    boot({op::kNop, op::bkpt(3), op::kNop});
    EXPECT_EQ(core.run(core.now() + 100), Stop::Breakpoint);
    EXPECT_EQ(core.pc(), kCode + 2);
    EXPECT_EQ(core.instructions(), 1u);
    EXPECT_EQ(core.run(core.now() + 100), Stop::Breakpoint);
    EXPECT_EQ(core.pc(), kCode + 2);
}

TEST_F(CoreTest, BusAccessEndsTheBatchAndHappensAtTheInstructionsFirstCycle)
{
    boot({op::kNop, op::ldr(1, 0, 4), op::kNop});
    core.set_reg(0, kPeripherals);
    bus.values[kPeripherals + 4] = 0x1234;
    EXPECT_EQ(core.run(core.now() + 100), Stop::BusAccess);
    ASSERT_EQ(bus.log.size(), 1u);
    EXPECT_EQ(bus.log[0].address, kPeripherals + 4);
    EXPECT_EQ(bus.log[0].size, 4u);
    EXPECT_EQ(bus.log[0].at, 1u);
    EXPECT_EQ(core.now(), 3u);
    EXPECT_EQ(core.reg(1), 0x1234u);
}

// A batch that reached its limit asks the Bus for the next one's, and ends
// the run when there is none (0, or a time already reached); one that
// ended for any other reason does not ask.
TEST_F(CoreTest, BatchAtItsLimitGoesOnToTheLimitTheBusGives)
{
    boot(Program(40, op::kNop));
    const Cycles start = core.now();
    bus.next_limits = {start + 7, start + 7, start + 12};
    EXPECT_EQ(core.run(start + 3), Stop::Limit);
    EXPECT_EQ(core.now(), start + 7);
    EXPECT_EQ(bus.batches_over, (std::vector<Cycles>{start + 3, start + 7}));

    bus.batches_over.clear();
    bus.next_limits.clear();
    boot({op::kNop, op::bkpt(1)});
    EXPECT_EQ(core.run(core.now() + 100), Stop::Breakpoint);
    EXPECT_TRUE(bus.batches_over.empty());
}

// Word stores to output latches the Bus has granted are the core's own:
// set/reset, reset and write as a port's registers do, none reaching the
// Bus nor ending the batch; a halfword store and anything after the grant
// is taken back go to the Bus.
TEST_F(CoreTest, GrantedOutputLatchesTakeWordStoresWithoutTheBus)
{
    std::uint32_t latch = 0x0003;
    CortexM0::QuietOutput output{kPeripherals, kPeripherals + 0x14, kPeripherals + 0x18, kPeripherals + 0x28, &latch};
    boot({op::str(1, 0, 0x18), op::str(2, 0, 0x28), op::strh(3, 0, 0x18), op::str(3, 0, 0x14), op::bkpt(1),
          op::str(1, 0, 0x18), op::bkpt(2)});
    core.set_bus_ends_batch(false);
    core.set_quiet_outputs({output, CortexM0::QuietOutput{}});
    core.set_reg(0, kPeripherals);
    core.set_reg(1, 0x00010004); // set pin 2, reset pin 0
    core.set_reg(2, 0x0002);     // reset pin 1
    core.set_reg(3, 0x00012345);
    EXPECT_EQ(core.run(core.now() + 100), Stop::Breakpoint);
    EXPECT_EQ(latch, 0x2345u);
    ASSERT_EQ(bus.log.size(), 1u);
    EXPECT_EQ(bus.log[0].size, 2u);
    EXPECT_EQ(core.now(), 8u); // the stores' cycles as on the Bus

    latch = 0x0003;
    core.set_reg(15, kCode + 10); // past the BKPT: the grant still holds
    core.run(core.now() + 100);
    EXPECT_EQ(latch, 0x0006u);
    core.clear_quiet_outputs();
    core.set_reg(15, kCode + 10);
    core.run(core.now() + 100);
    EXPECT_EQ(latch, 0x0006u);
    ASSERT_EQ(bus.log.size(), 2u);
    EXPECT_EQ(bus.log[1].address, kPeripherals + 0x18);
}

// A port granted as handed over: its word stores reach the hand-over at
// once and in order, with the register's offset, and neither the Bus nor
// the batch's end; its other registers' stores go to the Bus.
TEST_F(CoreTest, HandedOverPortTakesWordStoresWithoutTheBus)
{
    using Stores = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
    Stores stores;
    const std::uint32_t base = kPeripherals + 0x400;
    const CortexM0::QuietOutput port{base, base + 0x14, base + 0x18, base + 0x28};
    boot({op::str(1, 0, 0x18), op::str(2, 0, 0x28), op::str(3, 0, 0x10), op::str(3, 0, 0x14), op::bkpt(1)});
    core.set_bus_ends_batch(false);
    core.set_quiet_outputs({CortexM0::QuietOutput{}, port});
    const CortexM0::HandOver hand_over = [](void *log, std::uint32_t offset, std::uint32_t value) {
        static_cast<Stores *>(log)->emplace_back(offset, value);
    };
    core.set_quiet_grants({}, {nullptr, hand_over, &stores});
    core.set_reg(0, base);
    core.set_reg(1, 0x00010004);
    core.set_reg(2, 0x0002);
    core.set_reg(3, 0x00012345);
    EXPECT_EQ(core.run(core.now() + 100), Stop::Breakpoint);
    EXPECT_EQ(stores, (Stores{{0x18, 0x00010004}, {0x28, 0x0002}, {0x14, 0x00012345}}));
    ASSERT_EQ(bus.log.size(), 1u);
    EXPECT_EQ(bus.log[0].address, base + 0x10);
    EXPECT_EQ(core.now(), 8u);
}

TEST_F(CoreTest, FlashWritesGoToTheBusAndLeaveFlashAlone)
{
    boot({op::strh(1, 0, 0)});
    core.set_reg(0, kFlashCell);
    core.set_reg(1, 0xABCD1234);
    EXPECT_EQ(core.run(core.now() + 100), Stop::BusAccess);
    ASSERT_EQ(bus.log.size(), 1u);
    EXPECT_TRUE(bus.log[0].write);
    EXPECT_EQ(bus.log[0].value, 0x1234u);
    EXPECT_EQ(bus.log[0].size, 2u);
    std::uint32_t cell = 0;
    EXPECT_TRUE(core.peek(kFlashCell, 2, cell));
    EXPECT_EQ(cell, 0xFFFFu);
}

// Straight code goes on to the next halfword wherever it runs: from RAM
// (entries from the decode table, not the decoded flash), and off the end
// of flash, which faults at the first address past it.
TEST_F(CoreTest, StraightCodeRunsOnInRamAndOffTheEndOfFlash)
{
    const std::uint32_t in_ram = kRam + 0x100;
    place(in_ram, {op::movs(1, 1), op::adds(1, 2), op::adds(1, 3), op::adds(1, 4), op::bkpt(1)});
    boot({op::blx(0)});
    core.set_reg(0, in_ram | 1);
    EXPECT_EQ(core.run(core.now() + 100), Stop::Breakpoint);
    EXPECT_EQ(core.pc(), in_ram + 8);
    EXPECT_EQ(core.reg(1), 10u);

    place(kFlashEnd - 4, {op::movs(1, 7), op::adds(1, 1)});
    boot({op::bx(0)});
    core.set_reg(0, (kFlashEnd - 4) | 1);
    EXPECT_EQ(core.run(core.now() + 100), Stop::Breakpoint);
    EXPECT_EQ(core.pc(), handler(kHardFault));
    EXPECT_EQ(core.reg(1), 8u);
    EXPECT_EQ(stacked_pc(), kFlashEnd);
}

// A BL in flash is decoded as a whole: changing either half changes where
// it goes.
TEST_F(CoreTest, BlFollowsAChangeToEitherHalf)
{
    boot(op::kBlNext); // to kCode + 4
    EXPECT_EQ(step(), 4u);
    EXPECT_EQ(core.pc(), kCode + 4);
    EXPECT_EQ(core.reg(14), (kCode + 4) | 1);

    core.poke(kCode + 2, 0xF804, 2); // second half: 8 bytes further
    core.set_reg(15, kCode);
    step();
    EXPECT_EQ(core.pc(), kCode + 12);

    core.poke(kCode, 0xF7FF, 2); // first half: 4 KiB back
    core.set_reg(15, kCode);
    step();
    EXPECT_EQ(core.pc(), kCode + 12 - 0x1000);
}

TEST_F(CoreTest, FlashIsSeenAtAddressZero)
{
    boot({op::ldr(1, 0, 0), op::ldr(2, 0, 4)});
    core.set_reg(0, 0);
    core.run(core.now() + 4);
    EXPECT_EQ(core.reg(1), kStackTop);
    EXPECT_EQ(core.reg(2), kCode | 1);
    EXPECT_TRUE(bus.log.empty());
}

TEST_F(CoreTest, LoadOutsideFlashAndRamThrows)
{
    const std::uint8_t bytes[8] = {};
    EXPECT_THROW(core.load(kFlashEnd - 4, bytes, 8), std::out_of_range);
    EXPECT_THROW(core.load(0x10000000, bytes, 1), std::out_of_range);
    EXPECT_NO_THROW(core.load(kRam + 0xFF8, bytes, 8));
}

// ---------------------------------------------------------------- flags

struct ShiftCase {
    const char *name;
    std::uint16_t opcode; // <op>s r1, r2
    std::uint32_t value, amount;
    bool carry_in;
    std::uint32_t result;
    bool carry;
};

class ShiftTest : public CoreTest, public ::testing::WithParamInterface<ShiftCase> {};

TEST_P(ShiftTest, ResultAndCarry)
{
    const ShiftCase &c = GetParam();
    boot({c.opcode});
    core.set_reg(1, c.value);
    core.set_reg(2, c.amount);
    core.set_xpsr(c.carry_in ? 1u << 29 : 0);
    step();
    EXPECT_EQ(core.reg(1), c.result);
    EXPECT_EQ((core.xpsr() >> 29) & 1, std::uint32_t(c.carry));
    EXPECT_EQ(core.xpsr() >> 31, c.result >> 31);
    EXPECT_EQ((core.xpsr() >> 30) & 1, std::uint32_t(c.result == 0));
}

INSTANTIATE_TEST_SUITE_P(ByRegister, ShiftTest,
                         ::testing::Values(ShiftCase{"lsl_0_keeps_carry", 0x4091, 0x80000001, 0, true, 0x80000001,
                                                     true},
                                           ShiftCase{"lsl_256_is_0", 0x4091, 0x1, 256, false, 0x1, false},
                                           ShiftCase{"lsl_1", 0x4091, 0x80000001, 1, false, 0x2, true},
                                           ShiftCase{"lsl_32", 0x4091, 0x1, 32, false, 0, true},
                                           ShiftCase{"lsl_33", 0x4091, 0xFFFFFFFF, 33, true, 0, false},
                                           ShiftCase{"lsr_1", 0x40D1, 0x3, 1, false, 0x1, true},
                                           ShiftCase{"lsr_32", 0x40D1, 0x80000000, 32, false, 0, true},
                                           ShiftCase{"lsr_33", 0x40D1, 0x80000000, 33, true, 0, false},
                                           ShiftCase{"asr_31", 0x4111, 0x80000000, 31, false, 0xFFFFFFFF, false},
                                           ShiftCase{"asr_40", 0x4111, 0x80000000, 40, false, 0xFFFFFFFF, true},
                                           ShiftCase{"asr_32_positive", 0x4111, 0x40000000, 32, true, 0, false},
                                           ShiftCase{"ror_32", 0x41D1, 0x80000001, 32, false, 0x80000001, true},
                                           ShiftCase{"ror_1", 0x41D1, 0x80000001, 1, false, 0xC0000000, true},
                                           ShiftCase{"ror_33", 0x41D1, 0x2, 33, true, 0x1, false},
                                           ShiftCase{"ror_0_keeps_carry", 0x41D1, 0x2, 0, true, 0x2, true}),
                         [](const ::testing::TestParamInfo<ShiftCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- trace

TEST_F(CoreTest, TraceRecordsEachInstructionWithItsAccesses)
{
    boot(cat({{op::str(1, 0, 4)}, op::kBlNext, {op::ldrh(2, 0, 4)}}));
    core.set_reg(0, kRam);
    core.set_reg(1, 0xCAFEF00D);
    std::vector<CortexM0::TraceRecord> records;
    core.set_trace([&](const CortexM0::TraceRecord &r) { records.push_back(r); });
    core.run(core.now() + 7);
    ASSERT_EQ(records.size(), 3u);

    EXPECT_EQ(records[0].pc, kCode);
    EXPECT_EQ(records[0].opcode, op::str(1, 0, 4));
    EXPECT_EQ(records[0].cycles, 2u);
    EXPECT_EQ(records[0].regs[15], kCode + 2);
    ASSERT_EQ(records[0].accesses.size(), 1u);
    EXPECT_EQ(records[0].accesses[0].address, kRam + 4);
    EXPECT_EQ(records[0].accesses[0].value, 0xCAFEF00Du);
    EXPECT_EQ(records[0].accesses[0].size, 4);
    EXPECT_TRUE(records[0].accesses[0].write);

    EXPECT_EQ(records[1].opcode, 0xF000F800u);
    EXPECT_EQ(records[1].cycles, 4u);
    EXPECT_EQ(records[1].regs[14], (kCode + 6) | 1);
    EXPECT_TRUE(records[1].accesses.empty());

    EXPECT_EQ(records[2].regs[2], 0xF00Du);
    EXPECT_EQ(records[2].xpsr, kThumb);
    ASSERT_EQ(records[2].accesses.size(), 1u);
    EXPECT_FALSE(records[2].accesses[0].write);
    EXPECT_EQ(records[2].accesses[0].value, 0xF00Du);
}

} // namespace
