#include "board/peripherals/nvic.h"

namespace sim {

namespace {
// The device implements the top two bits of each priority byte.
constexpr std::uint8_t kPriorityMask = 0xC0;
constexpr std::uint32_t kPendStSet = 1u << 26, kPendStClr = 1u << 25;
} // namespace

void Nvic::reset()
{
    enabled_ = pending_ = active_ = level_ = 0;
    priority_.fill(0);
    shpr2_ = shpr3_ = 0;
    systick_pending_ = systick_active_ = false;
}

std::uint32_t Nvic::read(std::uint32_t offset, unsigned size)
{
    switch (offset) {
    case kIser:
    case kIcer:
        return enabled_;
    case kIspr:
    case kIcpr:
        return pending_;
    default:
        break;
    }
    if (offset >= kIpr && offset < kIpr + kIrqCount) {
        const unsigned first = (offset - kIpr) & ~3u;
        std::uint32_t word = 0;
        for (unsigned i = 0; i < 4; ++i) {
            word |= std::uint32_t(priority_[first + i]) << (8 * i);
        }
        return word;
    }
    return report_unimplemented(offset, size, 0, false);
}

void Nvic::write(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    switch (offset) {
    case kIser:
        enabled_ |= value;
        return;
    case kIcer:
        enabled_ &= ~value;
        return;
    case kIspr:
        pending_ |= value;
        return;
    case kIcpr:
        pending_ &= ~value;
        return;
    default:
        break;
    }
    if (offset >= kIpr && offset < kIpr + kIrqCount) {
        const unsigned first = (offset - kIpr) & ~3u;
        for (unsigned i = 0; i < 4; ++i) {
            priority_[first + i] = static_cast<std::uint8_t>(value >> (8 * i)) & kPriorityMask;
        }
        return;
    }
    report_unimplemented(offset, size, value, true);
}

void Nvic::set_irq_level(int irq, bool high)
{
    const std::uint32_t bit = 1u << irq;
    const bool was_high = (level_ & bit) != 0;
    level_ = high ? (level_ | bit) : (level_ & ~bit);
    if (high && (!was_high || !(active_ & bit))) {
        pending_ |= bit;
    }
}

std::uint32_t Nvic::Scb::read(std::uint32_t offset, unsigned size)
{
    switch (offset) {
    case kIcsr:
        return nvic_.systick_pending_ ? kPendStSet : 0;
    case kShpr2:
        return nvic_.shpr2_;
    case kShpr3:
        return nvic_.shpr3_;
    default:
        return report_unimplemented(offset, size, 0, false);
    }
}

void Nvic::Scb::write(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    switch (offset) {
    case kIcsr:
        if (value & kPendStSet) nvic_.systick_pending_ = true;
        if (value & kPendStClr) nvic_.systick_pending_ = false;
        break;
    case kShpr2:
        nvic_.shpr2_ = value & 0xC0000000u;
        break;
    case kShpr3:
        nvic_.shpr3_ = value & 0xC0C00000u;
        break;
    default:
        report_unimplemented(offset, size, value, true);
        break;
    }
}

} // namespace sim
