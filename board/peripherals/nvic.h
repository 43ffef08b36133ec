// The Cortex-M0 interrupt controller (NVIC) and the system control block's
// priority registers, with level-sensitive lines as the devices drive them.
#pragma once

#include <array>
#include <cstdint>

#include "board/peripherals/peripheral.h"

namespace sim {

constexpr int kSysTickException = 15;
constexpr int kIrqBase = 16; // exception number of IRQ 0
constexpr int kIrqCount = 32;
constexpr int kThreadPriority = 256; // below every exception

class Nvic : public Peripheral, public IrqSink {
public:
    // Register offsets from 0xE000E100; kIpr + n is the priority byte of IRQ n.
    static constexpr std::uint32_t kIser = 0x000, kIcer = 0x080, kIspr = 0x100, kIcpr = 0x180, kIpr = 0x300;

    std::string name() const override { return "NVIC"; }
    void reset() override;
    std::uint32_t read(std::uint32_t offset, unsigned size) override;
    void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;

    // Level-sensitive line: a rising edge pends the interrupt, and so does a
    // line held high while the interrupt is not active.
    void set_irq_level(int irq, bool high) override;
    void pend_systick() override { systick_pending_ = true; }

    // The exception to take next when the core runs at `current_priority`,
    // or -1. Ties go to the lower exception number.
    int next_to_take(int current_priority) const;
    // False when next_to_take() is -1 whatever the priority: nothing is
    // pending that is enabled and not active. Inline, for the checks the
    // CPUs make at every register access.
    bool ready() const { return (pending_ & enabled_ & ~active_) != 0 || (systick_pending_ && !systick_active_); }
    // Inline, with next_to_take(): the host build's CPU takes an interrupt
    // for every ADC sample.
    int priority_of(int exception) const;
    void activate(int exception);
    void deactivate(int exception);

    bool irq_enabled(int irq) const { return (enabled_ >> irq) & 1u; }
    bool irq_pending(int irq) const { return (pending_ >> irq) & 1u; }
    std::uint8_t irq_priority(int irq) const { return priority_[irq]; }
    std::uint8_t systick_priority() const { return static_cast<std::uint8_t>(shpr3_ >> 24); }

    // System control block registers (SHPR2, SHPR3), mapped separately.
    class Scb : public Peripheral {
    public:
        // Register offsets from 0xE000ED00
        static constexpr std::uint32_t kIcsr = 0x04, kShpr2 = 0x1C, kShpr3 = 0x20;

        explicit Scb(Nvic &nvic) : nvic_(nvic) {}
        std::string name() const override { return "SCB"; }
        void reset() override {}
        std::uint32_t read(std::uint32_t offset, unsigned size) override;
        void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;

    private:
        Nvic &nvic_;
    };
    Scb &scb() { return scb_; }

private:
    std::uint32_t enabled_ = 0, pending_ = 0, active_ = 0, level_ = 0;
    std::array<std::uint8_t, kIrqCount> priority_{};
    std::uint32_t shpr2_ = 0, shpr3_ = 0;
    bool systick_pending_ = false, systick_active_ = false;
    Scb scb_{*this};
};

inline int Nvic::priority_of(int exception) const
{
    if (exception == kSysTickException) {
        return systick_priority();
    }
    return priority_[exception - kIrqBase];
}

inline int Nvic::next_to_take(int current_priority) const
{
    int best = -1;
    int best_priority = current_priority;
    if (systick_pending_ && !systick_active_ && priority_of(kSysTickException) < best_priority) {
        best = kSysTickException;
        best_priority = priority_of(kSysTickException);
    }
    // Only the lines that are ready, lowest number first.
    for (std::uint32_t ready = pending_ & enabled_ & ~active_; ready != 0; ready &= ready - 1) {
        const int irq = __builtin_ctz(ready);
        if (priority_[irq] < best_priority) {
            best = kIrqBase + irq;
            best_priority = priority_[irq];
        }
    }
    return best;
}

inline void Nvic::activate(int exception)
{
    if (exception == kSysTickException) {
        systick_pending_ = false;
        systick_active_ = true;
        return;
    }
    const std::uint32_t bit = 1u << (exception - kIrqBase);
    pending_ &= ~bit;
    active_ |= bit;
}

inline void Nvic::deactivate(int exception)
{
    if (exception == kSysTickException) {
        systick_active_ = false;
        return;
    }
    const std::uint32_t bit = 1u << (exception - kIrqBase);
    active_ &= ~bit;
    if (level_ & bit) {
        pending_ |= bit; // the line is still asserted: the handler runs again
    }
}

} // namespace sim
