// The Cortex-M0 core's suites share this: the programs written as
// halfwords (encodings checked against arm-none-eabi-as), fakes of the
// core's neighbours, and a fixture that boots a program with a handler for
// every exception.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "board/cpu/cortex_m0.h"

namespace snt_test::m0 {

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
inline const Program kMrsPrimask = {0xF3EF, 0x8210}, kMsrPrimask = {0xF382, 0x8810};
inline const Program kMrsControl = {0xF3EF, 0x8114}; // mrs r1, control
inline const Program kMsrPsp = {0xF380, 0x8809}, kMsrControl = {0xF380, 0x8814};
inline const Program kDmb = {0xF3BF, 0x8F5F}, kDsb = {0xF3BF, 0x8F4F}, kIsb = {0xF3BF, 0x8F6F};
inline const Program kBlNext = {0xF000, 0xF800}; // bl to the next instruction
} // namespace op

inline Program cat(std::initializer_list<Program> parts)
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
    // The limits batch_over() gives, one a call (0 once they are used up),
    // and the core's time at each call.
    std::vector<Cycles> next_limits;
    std::vector<Cycles> batches_over;
    Cycles batch_over() override
    {
        batches_over.push_back(core ? core->now() : 0);
        if (batches_over.size() > next_limits.size()) return 0;
        return next_limits[batches_over.size() - 1];
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

} // namespace snt_test::m0
