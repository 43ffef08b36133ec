#include "board/peripherals/systick.h"

namespace sim {

void SysTick::reset()
{
    sched_.cancel(wrap_event_);
    wrap_event_ = 0;
    ctrl_ = load_ = 0;
    zero_at_ = sched_.now();
    wraps_ = 0;
}

std::uint32_t SysTick::current_value() const
{
    if (!(ctrl_ & kEnable)) {
        return 0;
    }
    const Cycles now = sched_.now();
    if (now <= zero_at_) {
        return static_cast<std::uint32_t>(zero_at_ - now);
    }
    // After reaching 0 the counter reloads LOAD on the next cycle.
    const Cycles period = Cycles(load_) + 1;
    const Cycles since = (now - zero_at_ - 1) % period;
    return static_cast<std::uint32_t>(load_ - since);
}

void SysTick::restart_from_zero()
{
    // Writing VAL (or enabling) leaves the counter at 0; the next cycle
    // loads LOAD, and the flag is set only when it counts down to 0 again.
    zero_at_ = sched_.now();
    schedule_wrap();
}

void SysTick::schedule_wrap()
{
    sched_.cancel(wrap_event_);
    wrap_event_ = 0;
    if (!(ctrl_ & kEnable) || load_ == 0) {
        return;
    }
    const Cycles next = zero_at_ + Cycles(load_) + 1;
    wrap_event_ = sched_.schedule_at(next, [this, next] {
        wrap_event_ = 0;
        zero_at_ = next;
        on_wrap();
        schedule_wrap();
    });
}

void SysTick::on_wrap()
{
    ++wraps_;
    ctrl_ |= kCountFlag;
    if (ctrl_ & kTickInt) {
        irq_.pend_systick();
    }
}

std::uint32_t SysTick::read(std::uint32_t offset, unsigned size)
{
    switch (offset) {
    case kCtrl: {
        const std::uint32_t v = ctrl_;
        ctrl_ &= ~kCountFlag; // reading the control register clears the flag
        return v;
    }
    case kLoad:
        return load_;
    case kVal:
        return current_value();
    case kCalib:
        return 0;
    default:
        return report_unimplemented(offset, size, 0, false);
    }
}

void SysTick::write(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    switch (offset) {
    case kCtrl: {
        const bool was_on = ctrl_ & kEnable;
        ctrl_ = (ctrl_ & kCountFlag) | (value & (kEnable | kTickInt | kClkSource));
        if (!was_on && (ctrl_ & kEnable)) {
            restart_from_zero();
        } else if (!(ctrl_ & kEnable)) {
            sched_.cancel(wrap_event_);
            wrap_event_ = 0;
        }
        break;
    }
    case kLoad:
        load_ = value & 0x00FFFFFFu;
        break;
    case kVal:
        ctrl_ &= ~kCountFlag;
        if (ctrl_ & kEnable) {
            restart_from_zero();
        }
        break;
    case kCalib:
        break; // read-only
    default:
        report_unimplemented(offset, size, value, true);
        break;
    }
}

bool SysTick::peek(std::uint32_t offset, unsigned size, std::uint32_t &value)
{
    if (offset != kCtrl) return Peripheral::peek(offset, size, value);
    value = ctrl_;
    return true;
}

} // namespace sim
