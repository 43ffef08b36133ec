#include "board/peripherals/adc.h"

#include <cmath>

namespace sim {

namespace {
// Calibration takes 83 cycles of the 14 MHz ADC clock; the ADC is ready
// about a microsecond after it is enabled.
constexpr Cycles kCalibration = us_to_cycles(83 / 14.0), kEnable = us_to_cycles(1);
constexpr std::uint32_t kCalFactor = 0x2A; // what this part's calibration leaves in DR
constexpr std::uint32_t kTrReset = 0x0FFF0000;

// Sampling times selected by SMPR, in half ADC clocks (1.5 .. 239.5).
constexpr unsigned kSamplingHalfClocks[8] = {3, 15, 27, 57, 83, 111, 143, 479};
constexpr double kHsi14Hz = 14e6;
} // namespace

void Adc::reset()
{
    sched_.cancel(conversion_event_);
    conversion_event_ = 0;
    isr_ = ier_ = cr_ = cfgr1_ = cfgr2_ = smpr_ = chselr_ = dr_ = ccr_ = 0;
    tr_ = kTrReset;
    ready_ = false;
    held_ = 0;
    conversions_ = overruns_ = 0;
    update_irq();
}

std::uint32_t *Adc::field(std::uint32_t offset)
{
    switch (offset) {
    case kIsr:
        return &isr_;
    case kIer:
        return &ier_;
    case kCr:
        return &cr_;
    case kCfgr1:
        return &cfgr1_;
    case kCfgr2:
        return &cfgr2_;
    case kSmpr:
        return &smpr_;
    case kTr:
        return &tr_;
    case kChselr:
        return &chselr_;
    case kDr:
        return &dr_;
    case kCcr:
        return &ccr_;
    default:
        return nullptr;
    }
}

std::uint32_t Adc::reg(std::uint32_t offset) const
{
    const std::uint32_t *f = const_cast<Adc *>(this)->field(offset);
    return f != nullptr ? *f : 0;
}

void Adc::update_irq() { irq_.set_irq_level(irq_number_, (isr_ & ier_ & (kAdrdy | kEoc | kEos | kOvr)) != 0); }

Cycles Adc::conversion_cycles() const
{
    const std::uint32_t settings = (cfgr1_ & kResMask) | (smpr_ & 7u) << 8 | (cfgr2_ >> 30) << 16;
    if (settings == conversion_time_.settings) return conversion_time_.cycles;
    const unsigned resolution_bits = 12 - 2 * ((cfgr1_ & kResMask) >> 3);
    const unsigned half_clocks = kSamplingHalfClocks[smpr_ & 7u] + 2 * resolution_bits + 1;
    double adc_hz = kHsi14Hz;
    switch (cfgr2_ >> 30) {
    case 1:
        adc_hz = kCoreHz / 2.0;
        break;
    case 2:
        adc_hz = kCoreHz / 4.0;
        break;
    default:
        break;
    }
    conversion_time_ = {settings, static_cast<Cycles>(std::llround(half_clocks / 2.0 * kCoreHz / adc_hz))};
    return conversion_time_.cycles;
}

bool Adc::can_convert() const { return ready_ && (cr_ & kAden) && (cr_ & kAdstart) && !converting(); }

void Adc::external_trigger(unsigned line)
{
    if (!(cfgr1_ & kExtenMask) || ((cfgr1_ & kExtselMask) >> kExtselShift) != line) return;
    if (can_convert()) start_conversion();
}

void Adc::start_conversion()
{
    held_ = source_ != nullptr ? static_cast<std::uint16_t>(source_->sample(sched_.now()) & 0x0FFFu) : 0;
    conversion_event_ = sched_.call_at<&Adc::conversion_due>(sched_.now() + conversion_cycles(), *this);
}

void Adc::conversion_due()
{
    conversion_event_ = 0;
    end_conversion();
}

void Adc::end_conversion()
{
    const unsigned res = (cfgr1_ & kResMask) >> 3;
    std::uint32_t data = held_ >> (2 * res);
    if (cfgr1_ & kAlign) data <<= (res == 3 ? 2 : 4 + 2 * res); // 6 bits: left-aligned in a byte

    if (isr_ & kEoc) {
        isr_ |= kOvr;
        ++overruns_;
        if (cfgr1_ & kOvrmod) dr_ = data;
    } else {
        dr_ = data;
    }
    isr_ |= kEoc | kEos;
    ++conversions_;

    if (cfgr1_ & kCont) {
        if (can_convert()) start_conversion();
    } else if (!(cfgr1_ & kExtenMask)) {
        cr_ &= ~kAdstart;
    }
    update_irq();
}

void Adc::stop_conversions()
{
    sched_.cancel(conversion_event_);
    conversion_event_ = 0;
    cr_ &= ~(kAdstart | kAdstp);
}

std::uint32_t Adc::read(std::uint32_t offset, unsigned size)
{
    // The interrupt handler reads ISR, then DR, for every sample.
    if (offset == kIsr) return isr_;
    if (offset == kDr) {
        data_read(); // reading the data clears end of conversion
        return dr_;
    }
    if (field(offset) == nullptr) return report_unimplemented(offset, size, 0, false);
    return reg(offset);
}

void Adc::write(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    const bool enabled = cr_ & kAden;
    switch (offset) {
    case kIsr:
        isr_ &= ~value; // flags clear by writing 1
        break;
    case kCr: {
        const std::uint32_t cr = cr_;
        if ((value & kAdcal) && !enabled && !(cr & kAdcal)) {
            cr_ |= kAdcal;
            sched_.schedule_in(kCalibration, [this] {
                cr_ &= ~kAdcal;
                dr_ = kCalFactor;
            });
        }
        if ((value & kAden) && !enabled && !(cr & kAdcal)) {
            cr_ |= kAden;
            sched_.schedule_in(kEnable, [this] {
                if (!(cr_ & kAden)) return;
                ready_ = true;
                isr_ |= kAdrdy;
                update_irq();
            });
        }
        if ((value & kAdstp) && (cr & kAdstart)) {
            stop_conversions();
        } else if ((value & kAdstart) && enabled && !(value & kAddis)) {
            cr_ |= kAdstart;
            if (!(cfgr1_ & kExtenMask) && can_convert()) start_conversion();
        }
        if ((value & kAddis) && enabled && !(cr_ & kAdstart)) {
            cr_ &= ~kAden;
            ready_ = false;
        }
        break;
    }
    case kCfgr1:
    case kCfgr2:
    case kSmpr:
    case kChselr:
        if (!enabled) *field(offset) = value; // configuration only while the ADC is off
        break;
    case kDr:
        break;
    default:
        if (std::uint32_t *f = field(offset)) {
            *f = value;
        } else {
            report_unimplemented(offset, size, value, true);
            return;
        }
        break;
    }
    update_irq();
}

bool Adc::peek(std::uint32_t offset, unsigned size, std::uint32_t &value)
{
    if (offset != kDr) return Peripheral::peek(offset, size, value);
    value = dr_;
    return true;
}

} // namespace sim
