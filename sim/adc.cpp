#include "adc.h"

namespace sim {

namespace {
// Calibration takes 83 cycles of the 14 MHz ADC clock; the ADC is ready
// about a microsecond after it is enabled.
constexpr Cycles kCalibration = us_to_cycles(83 / 14.0), kEnable = us_to_cycles(1);
constexpr std::uint32_t kCalFactor = 0x2A; // what this part's calibration leaves in DR
} // namespace

void Adc::reset()
{
    for (std::uint32_t r : {kIsr, kIer, kCr, kCfgr1, kCfgr2, kSmpr, kChselr, kDr, kCcr}) {
        regs_.define(r, 0);
    }
    regs_.define(kTr, 0x0FFF0000);
    regs_.reset();
    update_irq();
}

void Adc::update_irq()
{
    irq_.set_irq_level(irq_number_, (regs_.get(kIsr) & regs_.get(kIer) & (kAdrdy | kEoc | kEos | kOvr)) != 0);
}

std::uint32_t Adc::read(std::uint32_t offset, unsigned)
{
    const std::uint32_t v = regs_.get(offset);
    if (offset == kDr) {
        regs_.set(kIsr, regs_.get(kIsr) & ~kEoc); // reading the data clears end of conversion
        update_irq();
    }
    return v;
}

void Adc::write(std::uint32_t offset, std::uint32_t value, unsigned)
{
    const std::uint32_t cr = regs_.get(kCr);
    const bool enabled = cr & kAden;
    switch (offset) {
    case kIsr:
        regs_.set(kIsr, regs_.get(kIsr) & ~value); // flags clear by writing 1
        break;
    case kCr:
        if ((value & kAdcal) && !enabled && !(cr & kAdcal)) {
            regs_.set(kCr, cr | kAdcal);
            sched_.schedule_in(kCalibration, [this] {
                regs_.set(kCr, regs_.get(kCr) & ~kAdcal);
                regs_.set(kDr, kCalFactor);
            });
        }
        if ((value & kAden) && !enabled && !(cr & kAdcal)) {
            regs_.set(kCr, regs_.get(kCr) | kAden);
            sched_.schedule_in(kEnable, [this] {
                regs_.set(kIsr, regs_.get(kIsr) | kAdrdy);
                update_irq();
            });
        }
        if ((value & kAdstart) && enabled) {
            regs_.set(kCr, regs_.get(kCr) | kAdstart);
        }
        break;
    case kCfgr1:
    case kCfgr2:
    case kSmpr:
    case kChselr:
        if (!enabled) regs_.set(offset, value); // configuration only while the ADC is off
        break;
    case kDr:
        break;
    default:
        regs_.set(offset, value);
        break;
    }
    update_irq();
}

} // namespace sim
