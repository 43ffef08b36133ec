#include "rcc.h"

namespace sim {

namespace {
constexpr std::uint32_t kHsiOn = 1u << 0, kHsiRdy = 1u << 1;
constexpr std::uint32_t kHsi14On = 1u << 0, kHsi14Rdy = 1u << 1;
// Start-up times of the internal oscillators.
constexpr Cycles kHsiStart = us_to_cycles(2), kHsi14Start = us_to_cycles(1);
} // namespace

void Rcc::reset()
{
    regs_.define(kCr, 0x00000083);  // HSI on and ready, trimming 16
    regs_.define(kCfgr, 0);
    regs_.define(kAhbenr, 0x00000014); // SRAM and flash interface clocks
    regs_.define(kCsr, 0x0C000000);
    regs_.define(kCr2, 0x00000080); // HSI14 trimming 16
    regs_.reset();
}

std::uint32_t Rcc::read(std::uint32_t offset, unsigned) { return regs_.get(offset); }

void Rcc::write(std::uint32_t offset, std::uint32_t value, unsigned)
{
    const std::uint32_t old = regs_.get(offset);
    switch (offset) {
    case kCr: {
        std::uint32_t v = (value & ~kHsiRdy) | (old & kHsiRdy);
        if (!(v & kHsiOn)) v &= ~kHsiRdy;
        regs_.set(kCr, v);
        if ((v & kHsiOn) && !(old & kHsiRdy)) {
            sched_.schedule_in(kHsiStart, [this] {
                if (regs_.get(kCr) & kHsiOn) regs_.set(kCr, regs_.get(kCr) | kHsiRdy);
            });
        }
        return;
    }
    case kCr2: {
        std::uint32_t v = (value & ~kHsi14Rdy) | (old & kHsi14Rdy);
        if (!(v & kHsi14On)) v &= ~kHsi14Rdy;
        regs_.set(kCr2, v);
        if ((v & kHsi14On) && !(old & kHsi14Rdy)) {
            sched_.schedule_in(kHsi14Start, [this] {
                if (regs_.get(kCr2) & kHsi14On) regs_.set(kCr2, regs_.get(kCr2) | kHsi14Rdy);
            });
        }
        return;
    }
    case kCfgr: {
        // The switch status (SWS) follows the selected source (SW) at once.
        const std::uint32_t sw = value & 3u;
        regs_.set(kCfgr, (value & ~0xCu) | (sw << 2));
        return;
    }
    default:
        regs_.set(offset, value);
        return;
    }
}

} // namespace sim
