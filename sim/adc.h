// The 12-bit ADC: configuration registers, calibration and enable with their
// completion times, and the end-of-conversion interrupt line.
#pragma once

#include "peripheral.h"
#include "scheduler.h"

namespace sim {

class Adc : public Peripheral {
public:
    static constexpr std::uint32_t kIsr = 0x00, kIer = 0x04, kCr = 0x08, kCfgr1 = 0x0C, kCfgr2 = 0x10,
                                   kSmpr = 0x14, kTr = 0x20, kChselr = 0x28, kDr = 0x40, kCcr = 0x308;
    static constexpr std::uint32_t kAdrdy = 1u << 0, kEoc = 1u << 2, kEos = 1u << 3, kOvr = 1u << 4;
    static constexpr std::uint32_t kAden = 1u << 0, kAddis = 1u << 1, kAdstart = 1u << 2, kAdcal = 1u << 31;

    Adc(Scheduler &sched, IrqSink &irq, int irq_number) : sched_(sched), irq_(irq), irq_number_(irq_number) {}
    std::string name() const override { return "ADC"; }
    void reset() override;
    std::uint32_t read(std::uint32_t offset, unsigned size) override;
    void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;

    std::uint32_t reg(std::uint32_t offset) const { return regs_.get(offset); }

private:
    void update_irq();

    Scheduler &sched_;
    IrqSink &irq_;
    int irq_number_;
    RegisterFile regs_;
};

} // namespace sim
