// The Cortex-M0 core on its own: instruction and exception timing,
// priorities and nesting, faults, sleep, loop detection and tracing. The
// programs are written as halfwords (encodings checked against
// arm-none-eabi-as); the core's neighbours are fakes.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "board/cpu/cortex_m0.h"

namespace {

using sim::CortexM0;
using Stop = CortexM0::Stop;
using Cycles = CortexM0::Cycles;
using Program = std::vector<std::uint16_t>;

// ---------------------------------------------------------------- encodings

namespace op {
constexpr std::uint16_t movs(int rd, int imm) { return std::uint16_t(0x2000 | rd << 8 | imm); }
constexpr std::uint16_t adds(int rd, int imm) { return std::uint16_t(0x3000 | rd << 8 | imm); }
constexpr std::uint16_t cmp(int rn, int imm) { return std::uint16_t(0x2800 | rn << 8 | imm); }
constexpr std::uint16_t ldr(int rt, int rn, int imm) { return std::uint16_t(0x6800 | (imm / 4) << 6 | rn << 3 | rt); }
constexpr std::uint16_t str(int rt, int rn, int imm) { return std::uint16_t(0x6000 | (imm / 4) << 6 | rn << 3 | rt); }
constexpr std::uint16_t ldrh(int rt, int rn, int imm) { return std::uint16_t(0x8800 | (imm / 2) << 6 | rn << 3 | rt); }
constexpr std::uint16_t strh(int rt, int rn, int imm) { return std::uint16_t(0x8000 | (imm / 2) << 6 | rn << 3 | rt); }
constexpr std::uint16_t tst(int rn, int rm) { return std::uint16_t(0x4200 | rm << 3 | rn); }
constexpr std::uint16_t bx(int rm) { return std::uint16_t(0x4700 | rm << 3); }
constexpr std::uint16_t blx(int rm) { return std::uint16_t(0x4780 | rm << 3); }
constexpr std::uint16_t mov(int rd, int rm) { return std::uint16_t(0x4600 | (rd & 8) << 4 | rm << 3 | (rd & 7)); }
constexpr std::uint16_t add(int rd, int rm) { return std::uint16_t(0x4400 | (rd & 8) << 4 | rm << 3 | (rd & 7)); }
constexpr std::uint16_t push(int list, bool lr) { return std::uint16_t(0xB400 | (lr ? 0x100 : 0) | list); }
constexpr std::uint16_t pop(int list, bool pc) { return std::uint16_t(0xBC00 | (pc ? 0x100 : 0) | list); }
constexpr std::uint16_t ldm(int rn, int list) { return std::uint16_t(0xC800 | rn << 8 | list); }
constexpr std::uint16_t stm(int rn, int list) { return std::uint16_t(0xC000 | rn << 8 | list); }
constexpr std::uint16_t svc(int imm) { return std::uint16_t(0xDF00 | imm); }
constexpr std::uint16_t bkpt(int imm) { return std::uint16_t(0xBE00 | imm); }
// Branches between byte offsets within one program.
constexpr std::uint16_t b(int from, int to) { return std::uint16_t(0xE000 | (((to - from - 4) / 2) & 0x7FF)); }
constexpr std::uint16_t bcond(int cond, int from, int to)
{
    return std::uint16_t(0xD000 | cond << 8 | (((to - from - 4) / 2) & 0xFF));
}
constexpr int kEq = 0;
constexpr std::uint16_t kNop = 0xBF00, kWfi = 0xBF30, kWfe = 0xBF20, kSev = 0xBF40, kYield = 0xBF10;
constexpr std::uint16_t kCpsid = 0xB672, kCpsie = 0xB662, kUdf = 0xDE00, kBxLr = 0x4770;
constexpr std::uint16_t kMuls = 0x4351, kRev = 0xBA11, kAdr = 0xA101, kAddSp = 0xB002;
// 32-bit: first and second halfwords.
const Program kMrsPrimask = {0xF3EF, 0x8210}, kMsrPrimask = {0xF382, 0x8810};
const Program kMrsControl = {0xF3EF, 0x8114}; // mrs r1, control
const Program kMsrPsp = {0xF380, 0x8809}, kMsrControl = {0xF380, 0x8814};
const Program kDmb = {0xF3BF, 0x8F5F}, kDsb = {0xF3BF, 0x8F4F}, kIsb = {0xF3BF, 0x8F6F};
const Program kBlNext = {0xF000, 0xF800}; // bl to the next instruction
} // namespace op

Program cat(std::initializer_list<Program> parts)
{
    Program all;
    for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// ---------------------------------------------------------------- fakes

struct Access {
    std::uint32_t address, value;
    unsigned size;
    bool write;
    Cycles at;
};

class FakeBus final : public CortexM0::Bus {
public:
    std::map<std::uint32_t, std::uint32_t> values;
    std::vector<Access> log;
    std::uint32_t faulting = 0x50000000; // nothing answers here
    const CortexM0 *core = nullptr;

    std::uint32_t read(std::uint32_t address, unsigned size) override
    {
        if (address == faulting) throw Fault{};
        log.push_back({address, values[address], size, false, core ? core->now() : 0});
        return values[address];
    }
    void write(std::uint32_t address, std::uint32_t value, unsigned size) override
    {
        if (address == faulting) throw Fault{};
        log.push_back({address, value, size, true, core ? core->now() : 0});
    }
};

// Pending exceptions with priorities; ties go to the lower number.
class FakeInterrupts final : public CortexM0::ExceptionSource {
public:
    std::map<int, int> priority;
    std::set<int> pending, active;
    std::vector<std::string> log;

    void pend(int exception, int p)
    {
        priority[exception] = p;
        pending.insert(exception);
    }
    int next_to_take(int current) override
    {
        int best = -1, best_priority = current;
        for (int e : pending) {
            if (!active.count(e) && priority[e] < best_priority) {
                best = e;
                best_priority = priority[e];
            }
        }
        return best;
    }
    int priority_of(int exception) override { return priority.count(exception) ? priority[exception] : 0; }
    void activate(int exception) override
    {
        pending.erase(exception);
        active.insert(exception);
        log.push_back("+" + std::to_string(exception));
    }
    void deactivate(int exception) override
    {
        active.erase(exception);
        log.push_back("-" + std::to_string(exception));
    }
};

// ---------------------------------------------------------------- fixture

constexpr std::uint32_t kFlash = 0x08000000, kCode = 0x08000200, kRam = 0x20000000, kStackTop = 0x20001000;
// Outside the test program's memory: the peripheral region (the test bus
// answers any address in it), a flash cell below the settings page, and the
// end of the core's own flash, where the settings page begins.
constexpr std::uint32_t kPeripherals = 0x40000000, kFlashCell = 0x08003000, kFlashEnd = 0x08003C00;
constexpr std::uint32_t handler(int exception) { return 0x08001000 + 0x40 * static_cast<std::uint32_t>(exception); }
constexpr int kHardFault = 3, kSvCall = 11, kIrq0 = 16, kIrq1 = 17, kIrq2 = 18;
constexpr std::uint32_t kThumb = 1u << 24;

class CoreTest : public ::testing::Test {
protected:
    CoreTest()
    {
        bus.core = &core;
        core.poke(kFlash, kStackTop, 4);
        core.poke(kFlash + 4, kCode | 1, 4);
        for (int e = 2; e < 48; ++e) core.poke(kFlash + 4 * e, handler(e) | 1, 4);
        for (int e = 2; e < 48; ++e) place(handler(e), {op::kBxLr});
        place(handler(kHardFault), {op::bkpt(0xF)}); // stops where the fault arrived
    }

    void place(std::uint32_t address, const Program &program)
    {
        core.load(address, reinterpret_cast<const std::uint8_t *>(program.data()), program.size() * 2);
    }
    void boot(const Program &program)
    {
        place(kCode, program);
        core.reset();
    }
    // Runs one instruction (or one exception entry, if one is pending) and
    // returns its cycles.
    Cycles step()
    {
        const Cycles before = core.now();
        last_stop = core.run(core.now() + 1);
        return core.now() - before;
    }
    std::uint32_t word(std::uint32_t address)
    {
        std::uint32_t v = 0;
        EXPECT_TRUE(core.peek(address, 4, v)) << std::hex << address;
        return v;
    }
    std::uint32_t stacked_pc() { return word(core.reg(13) + 24); }
    std::uint32_t stacked_xpsr() { return word(core.reg(13) + 28); }

    FakeBus bus;
    FakeInterrupts irq;
    CortexM0 core{bus, irq};
    Stop last_stop = Stop::Limit;
};

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
