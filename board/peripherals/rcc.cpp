#include "board/peripherals/rcc.h"

namespace sim {

namespace {
constexpr std::uint32_t kHsiOn = 1u << 0, kHsiRdy = 1u << 1;
constexpr std::uint32_t kHsi14On = 1u << 0, kHsi14Rdy = 1u << 1;
// Start-up times of the internal oscillators.
constexpr Cycles kHsiStart = us_to_cycles(2), kHsi14Start = us_to_cycles(1);
} // namespace

void Rcc::reset()
{
    regs_.fill(0);
    at(kCr) = 0x00000083;     // HSI on and ready, trimming 16
    at(kAhbenr) = 0x00000014; // SRAM and flash interface clocks
    at(kBdcr) = 0x00000018;   // LSE drive at its highest
    at(kCsr) = 0x0C000000;
    at(kCr2) = 0x00000080; // HSI14 trimming 16
}

bool Rcc::peek(std::uint32_t offset, unsigned, std::uint32_t &value)
{
    if (!defines(offset)) return false;
    value = reg(offset);
    return true;
}

std::uint32_t Rcc::read(std::uint32_t offset, unsigned size)
{
    if (!defines(offset)) return report_unimplemented(offset, size, 0, false);
    return reg(offset);
}

// An oscillator's ready flag is read-only: it follows the enable bit after
// the oscillator's start-up time and drops at once when it is switched off.
void Rcc::write_oscillator(std::uint32_t reg, std::uint32_t value, std::uint32_t on, std::uint32_t ready, Cycles start)
{
    const std::uint32_t old = at(reg);
    std::uint32_t v = (value & ~ready) | (old & ready);
    if (!(v & on)) v &= ~ready;
    at(reg) = v;
    if ((v & on) && !(old & ready)) {
        sched_.schedule_in(start, [this, reg, on, ready] {
            if (at(reg) & on) at(reg) |= ready;
        });
    }
}

void Rcc::write(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    if (!defines(offset)) {
        report_unimplemented(offset, size, value, true);
        return;
    }
    switch (offset) {
    case kCr:
        write_oscillator(kCr, value, kHsiOn, kHsiRdy, kHsiStart);
        return;
    case kCr2:
        write_oscillator(kCr2, value, kHsi14On, kHsi14Rdy, kHsi14Start);
        return;
    case kCfgr: {
        // The switch status (SWS) follows the selected source (SW) at once.
        const std::uint32_t sw = value & 3u;
        at(kCfgr) = (value & ~0xCu) | (sw << 2);
        return;
    }
    default:
        at(offset) = value;
        return;
    }
}

} // namespace sim
