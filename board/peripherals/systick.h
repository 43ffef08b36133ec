// The core's 24-bit SysTick down-counter, clocked by the core clock.
#pragma once

#include "board/peripherals/peripheral.h"
#include "board/peripherals/scheduler.h"

namespace sim {

class SysTick : public Peripheral {
public:
    SysTick(Scheduler &sched, IrqSink &irq) : sched_(sched), irq_(irq) {}
    std::string name() const override { return "SysTick"; }
    void reset() override;
    std::uint32_t read(std::uint32_t offset, unsigned size) override;
    void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;
    // CTRL without clearing COUNTFLAG.
    bool peek(std::uint32_t offset, unsigned size, std::uint32_t &value) override;

    std::uint64_t wraps() const { return wraps_; }

    // Register offsets
    static constexpr std::uint32_t kCtrl = 0x0, kLoad = 0x4, kVal = 0x8, kCalib = 0xC;
    static constexpr std::uint32_t kEnable = 1u << 0, kTickInt = 1u << 1, kClkSource = 1u << 2, kCountFlag = 1u << 16;

private:
    // The counter reaches 0 at `zero_at_` and then reloads on the next cycle.
    void restart_from_zero();
    void schedule_wrap();
    void on_wrap();
    std::uint32_t current_value() const;

    Scheduler &sched_;
    IrqSink &irq_;
    std::uint32_t ctrl_ = 0, load_ = 0;
    Cycles zero_at_ = 0;
    Scheduler::EventId wrap_event_ = 0;
    std::uint64_t wraps_ = 0;
};

} // namespace sim
