#include "board/peripherals/tim.h"

namespace sim {

namespace {
constexpr std::uint32_t kCr1Bits = 0x03FF, kCr2Bits = 0x00F8, kDierBits = 0x5F5F, kSrBits = 0x1E5F;
// Flags that raise the interrupt line: UIF, CC1IF..CC4IF, TIF.
constexpr std::uint32_t kIrqFlags = 0x005F;
// EGR bits that only set their flag: CC1G..CC4G, TG.
constexpr std::uint32_t kEgrFlagBits = 0x005E;
constexpr Cycles kCounterWrap = 0x10000;
// Registers kept without behaviour: CCMR1, CCMR2, CCER, CCR1..CCR4, DCR, DMAR.
constexpr std::uint32_t kPlainRegisters[] = {0x18, 0x1C, 0x20, 0x34, 0x38, 0x3C, 0x40, 0x48, 0x4C};
} // namespace

void Timer::reset()
{
    sched_.cancel(overflow_event_);
    overflow_event_ = 0;
    cr1_ = cr2_ = smcr_ = dier_ = sr_ = 0;
    psc_ = psc_active_ = 0;
    arr_ = arr_active_ = 0xFFFF;
    base_time_ = sched_.now();
    base_position_ = 0;
    for (const std::uint32_t offset : kPlainRegisters) other_.define(offset, 0);
    other_.reset();
    updates_ = trgo_pulses_ = 0;
    update_irq();
}

Cycles Timer::position() const { return counting() ? base_position_ + (sched_.now() - base_time_) : base_position_; }

std::uint32_t Timer::counter() const { return static_cast<std::uint32_t>(position() / count_cycles()) & 0xFFFFu; }

void Timer::restart_from(Cycles position)
{
    sched_.cancel(overflow_event_);
    overflow_event_ = 0;
    base_time_ = sched_.now();
    base_position_ = position;
    if (!counting()) return;
    // From ARR the counter overflows to 0; above ARR it runs on to 0xFFFF.
    const Cycles count = position / count_cycles();
    const Cycles end = (count <= arr_active_ ? Cycles(arr_active_) + 1 : kCounterWrap) * count_cycles();
    overflow_event_ = sched_.call_at<&Timer::overflow_due>(base_time_ + (end - position), *this);
}

void Timer::overflow_due()
{
    overflow_event_ = 0;
    on_overflow();
}

void Timer::on_overflow()
{
    if (!(cr1_ & kUdis)) {
        update_event(false);
        if (cr1_ & kOpm) cr1_ &= ~kCen;
    }
    restart_from(0);
}

void Timer::update_event(bool from_ug)
{
    psc_active_ = psc_;
    if (cr1_ & kArpe) arr_active_ = arr_;
    ++updates_;
    if (!from_ug || !(cr1_ & kUrs)) sr_ |= kUif;
    if ((cr2_ & kMmsMask) == kMmsUpdate) trgo();
    update_irq();
}

void Timer::trgo()
{
    ++trgo_pulses_;
    if (on_trgo_) on_trgo_();
}

void Timer::update_irq() { irq_.set_irq_level(irq_number_, (sr_ & dier_ & kIrqFlags) != 0); }

std::uint32_t Timer::read(std::uint32_t offset, unsigned size)
{
    switch (offset) {
    case kCr1:
        return cr1_;
    case kCr2:
        return cr2_;
    case kSmcr:
        return smcr_;
    case kDier:
        return dier_;
    case kSr:
        return sr_;
    case kEgr:
        return 0;
    case kCnt:
        return counter();
    case kPsc:
        return psc_;
    case kArr:
        return arr_;
    default:
        if (!other_.defines(offset)) return report_unimplemented(offset, size, 0, false);
        return other_.get(offset);
    }
}

void Timer::write(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    switch (offset) {
    case kCr1: {
        const Cycles at = position();
        cr1_ = value & kCr1Bits;
        restart_from(at);
        break;
    }
    case kCr2:
        cr2_ = value & kCr2Bits;
        break;
    case kSmcr:
        smcr_ = value & 0xFFFFu;
        break;
    case kDier:
        dier_ = value & kDierBits;
        update_irq();
        break;
    case kSr:
        sr_ &= value | ~kSrBits; // flags clear by writing 0
        update_irq();
        break;
    case kEgr:
        if (value & kUg) {
            if (!(cr1_ & kUdis)) update_event(true);
            if ((cr2_ & kMmsMask) == kMmsReset) trgo();
            restart_from(0);
        }
        sr_ |= value & kEgrFlagBits;
        update_irq();
        break;
    case kCnt: {
        // The prescaler keeps its count.
        const Cycles within = position() % count_cycles();
        restart_from(Cycles(value & 0xFFFFu) * count_cycles() + within);
        break;
    }
    case kPsc:
        psc_ = value & 0xFFFFu; // takes effect at the next update event
        break;
    case kArr: {
        const Cycles at = position();
        arr_ = value & 0xFFFFu;
        if (!(cr1_ & kArpe)) arr_active_ = arr_;
        restart_from(at);
        break;
    }
    default:
        if (!other_.defines(offset)) {
            report_unimplemented(offset, size, value, true);
            return;
        }
        other_.set(offset, value);
        break;
    }
}

} // namespace sim
