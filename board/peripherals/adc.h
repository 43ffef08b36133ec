// The 12-bit ADC: configuration registers, calibration and enable with their
// completion times, conversions started by an external trigger or by
// software, and the interrupt line.
//
// What is modelled
// - Calibration (ADCAL) and enable (ADEN, then ADRDY about a microsecond
//   later); ADDIS switches the ADC off at once (ADRDY stays until cleared).
// - Conversions while the ADC is enabled and ready and CR.ADSTART is set:
//   with CFGR1.EXTEN != 0, each pulse on the trigger line selected by
//   CFGR1.EXTSEL starts one conversion (either edge setting sees a pulse);
//   with EXTEN = 0, setting ADSTART starts one at once. A trigger that
//   arrives while a conversion runs is ignored. With CONT = 0 a software
//   start clears ADSTART at the end of its conversion; a hardware-triggered
//   ADC keeps ADSTART and waits for the next trigger. CONT = 1 starts the
//   next conversion as soon as one ends. ADSTP stops at once, dropping a
//   conversion in progress, and clears ADSTART.
// - Timing: the input is sampled when the conversion starts; the result is
//   ready (sampling time from SMPR + resolution + 0.5) ADC clocks later. The
//   ADC clock is the 14 MHz HSI14 (CFGR2.CKMODE = 00) or PCLK / 2 or / 4.
//   The firmware's 239.5 cycles at 12 bits take 252 clocks of 14 MHz:
//   18 us, 144 core cycles.
// - End of conversion: DR = the sample, reduced to the resolution (RES) and
//   aligned (ALIGN); EOC and EOS set (a sequence of one channel). When EOC
//   is still set from the previous result, OVR is set and, with OVRMOD = 0,
//   the older DR is kept and the new result lost (OVRMOD = 1: overwritten).
//   Reading DR clears EOC; ISR flags clear by writing 1.
// - Interrupt line: ISR & IER over ADRDY, EOC, EOS, OVR.
//
// What is not modelled
// - Channels: every conversion reads PA0 (channel 0), whatever CHSELR
//   selects. EOSMP, the analog watchdog, WAIT, AUTOFF, DISCEN, DMA requests
//   (DMAEN is kept but nothing reads DR for it), the trigger latency and
//   the conversion timing of the PCLK clock modes beyond the divider.
#pragma once

#include <cstdint>

#include "board/peripherals/peripheral.h"
#include "board/peripherals/scheduler.h"

namespace sim {

// What the ADC's input pin carries: a 12-bit result (0..4095) for a sample
// taken at `when`.
class AnalogSource {
public:
    virtual ~AnalogSource() = default;
    virtual std::uint16_t sample(Cycles when) = 0;
};

class Adc : public Peripheral {
public:
    static constexpr std::uint32_t kIsr = 0x00, kIer = 0x04, kCr = 0x08, kCfgr1 = 0x0C, kCfgr2 = 0x10, kSmpr = 0x14,
                                   kTr = 0x20, kChselr = 0x28, kDr = 0x40, kCcr = 0x308;
    // ISR / IER
    static constexpr std::uint32_t kAdrdy = 1u << 0, kEoc = 1u << 2, kEos = 1u << 3, kOvr = 1u << 4;
    // CR
    static constexpr std::uint32_t kAden = 1u << 0, kAddis = 1u << 1, kAdstart = 1u << 2, kAdstp = 1u << 4,
                                   kAdcal = 1u << 31;
    // CFGR1
    static constexpr std::uint32_t kResMask = 3u << 3, kAlign = 1u << 5, kExtselShift = 6,
                                   kExtselMask = 7u << kExtselShift, kExtenMask = 3u << 10, kOvrmod = 1u << 12,
                                   kCont = 1u << 13;
    // Trigger lines (EXTSEL values)
    static constexpr unsigned kTrgTim3Trgo = 3;

    Adc(Scheduler &sched, IrqSink &irq, int irq_number) : sched_(sched), irq_(irq), irq_number_(irq_number) {}
    std::string name() const override { return "ADC"; }
    void reset() override;
    std::uint32_t read(std::uint32_t offset, unsigned size) override;
    void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;
    // DR without clearing EOC.
    bool peek(std::uint32_t offset, unsigned size, std::uint32_t &value) override;

    std::uint32_t reg(std::uint32_t offset) const;
    // ISR and DR as they are kept, for a CPU that reads them without read()
    // (the host build's quiet reads): reading ISR does nothing else, reading
    // DR does data_read() besides.
    const std::uint32_t *status_word() const { return &isr_; }
    const std::uint32_t *data_word() const { return &dr_; }
    // What a read of DR does to the ADC: end of conversion clears.
    void data_read()
    {
        isr_ &= ~kEoc;
        update_irq();
    }

    // The input; without one every sample is 0. Not owned.
    void set_source(AnalogSource *source) { source_ = source; }
    // A pulse on trigger line `line` (TRG0..TRG7).
    void external_trigger(unsigned line);

    bool converting() const { return conversion_event_ != 0; }
    // Core cycles from the start of a conversion to its result, as
    // configured now.
    Cycles conversion_cycles() const;
    std::uint64_t conversions() const { return conversions_; }
    std::uint64_t overruns() const { return overruns_; }

private:
    std::uint32_t *field(std::uint32_t offset);
    void update_irq();
    bool can_convert() const;
    void start_conversion();
    void end_conversion();
    void conversion_due(); // the conversion event
    void stop_conversions();

    Scheduler &sched_;
    IrqSink &irq_;
    int irq_number_;
    std::uint32_t isr_ = 0, ier_ = 0, cr_ = 0, cfgr1_ = 0, cfgr2_ = 0, smpr_ = 0, tr_ = 0, chselr_ = 0, dr_ = 0,
                  ccr_ = 0;
    AnalogSource *source_ = nullptr;
    bool ready_ = false;     // enabled and past its start-up time
    std::uint16_t held_ = 0; // the sample being converted
    Scheduler::EventId conversion_event_ = 0;
    std::uint64_t conversions_ = 0, overruns_ = 0;
    // conversion_cycles() for the settings it was last worked out for
    // (resolution, sampling time, clock): they rarely change, and each
    // conversion asks for it.
    struct ConversionTime {
        std::uint32_t settings = ~std::uint32_t{0};
        Cycles cycles = 0;
    };
    mutable ConversionTime conversion_time_;
};

} // namespace sim
