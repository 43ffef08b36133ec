// A general-purpose 16-bit timer (TIM3) as a time base: the counter, its
// prescaler and auto-reload value, update events with their flag and
// interrupt line, and the trigger output (TRGO) that starts ADC conversions.
//
// What is modelled
// - The counter counts up at the timer clock (the core clock, 8 MHz, as APB1
//   runs undivided) divided by PSC + 1 while CR1.CEN is set, and overflows
//   from ARR back to 0: one update event every (ARR + 1) * (PSC + 1) cycles.
//   Each update is one scheduled event; CNT is computed from virtual time
//   when it is read.
// - PSC is buffered: a written value takes effect at the next update event.
//   ARR takes effect at once, or at the next update with CR1.ARPE set. A
//   counter left above ARR (by writing CNT or lowering ARR) runs on to
//   0xFFFF and overflows there. With ARR = 0 the counter is blocked.
// - Update event: reloads PSC (and ARR with ARPE), sets SR.UIF, and pulses
//   TRGO when CR2.MMS = 010 (update). CR1.UDIS suppresses update events from
//   overflow and from UG alike; the counter still wraps. CR1.URS keeps UG
//   from setting UIF. CR1.OPM clears CEN at the update event.
// - EGR.UG: the counter and the prescaler restart from 0 and, unless UDIS,
//   an update event happens. With MMS = 000 (reset) UG itself is the TRGO
//   pulse. EGR.TG and EGR.CCxG set their flags in SR.
// - SR flags clear by writing 0 (rc_w0). The interrupt line is
//   SR & DIER over UIF, CC1IF..CC4IF and TIF.
// - TRGO is a pulse: each one calls the on_trgo() callback once, at the time
//   of the update.
//
// What is not modelled
// - Down-counting and centre-aligned modes (CR1.DIR, CR1.CMS), clock
//   division, the slave mode controller (SMCR), external clocks, capture and
//   compare (CCMRx, CCER, CCRx keep what is written, nothing happens), the
//   other MMS choices (no TRGO for them), DMA requests, and the one-cycle
//   delay between setting CEN and the first count.
#pragma once

#include <functional>
#include <string>

#include "board/peripherals/peripheral.h"
#include "board/peripherals/scheduler.h"

namespace sim {

class Timer : public Peripheral {
public:
    static constexpr std::uint32_t kCr1 = 0x00, kCr2 = 0x04, kSmcr = 0x08, kDier = 0x0C, kSr = 0x10, kEgr = 0x14,
                                   kCnt = 0x24, kPsc = 0x28, kArr = 0x2C;
    // CR1
    static constexpr std::uint32_t kCen = 1u << 0, kUdis = 1u << 1, kUrs = 1u << 2, kOpm = 1u << 3, kArpe = 1u << 7;
    // CR2 master mode selection
    static constexpr std::uint32_t kMmsMask = 7u << 4, kMmsReset = 0u << 4, kMmsUpdate = 2u << 4;
    // SR and DIER (flag and enable share a position), EGR
    static constexpr std::uint32_t kUif = 1u << 0, kTif = 1u << 6, kUg = 1u << 0;

    Timer(std::string name, Scheduler &sched, IrqSink &irq, int irq_number)
        : name_(std::move(name)), sched_(sched), irq_(irq), irq_number_(irq_number)
    {}
    Timer(const Timer &) = delete;
    Timer &operator=(const Timer &) = delete;

    std::string name() const override { return name_; }
    void reset() override;
    std::uint32_t read(std::uint32_t offset, unsigned size) override;
    void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;

    // Called at every TRGO pulse.
    void on_trgo(std::function<void()> cb) { on_trgo_ = std::move(cb); }

    // CEN set and the counter not blocked by ARR = 0.
    bool counting() const { return (cr1_ & kCen) && arr_active_ != 0; }
    // CNT as the firmware would read it now.
    std::uint32_t counter() const;
    // Core cycles from one overflow to the next with the active prescaler
    // and auto-reload values.
    Cycles period_cycles() const { return (Cycles(arr_active_) + 1) * (Cycles(psc_active_) + 1); }
    std::uint64_t updates() const { return updates_; }
    std::uint64_t trgo_pulses() const { return trgo_pulses_; }

private:
    // Core cycles per count.
    Cycles count_cycles() const { return Cycles(psc_active_) + 1; }
    // The counter and the prescaler together, in core cycles:
    // CNT * (PSC + 1) + the prescaler's count.
    Cycles position() const;
    // Goes on from `position`, counting or not as CR1 and ARR say, and
    // schedules the next overflow.
    void restart_from(Cycles position);
    void on_overflow();
    void overflow_due(); // the overflow event
    void update_event(bool from_ug);
    void trgo();
    void update_irq();

    std::string name_;
    Scheduler &sched_;
    IrqSink &irq_;
    int irq_number_;
    std::function<void()> on_trgo_;

    std::uint32_t cr1_ = 0, cr2_ = 0, smcr_ = 0, dier_ = 0, sr_ = 0;
    std::uint32_t psc_ = 0, arr_ = 0;               // the registers as written
    std::uint32_t psc_active_ = 0, arr_active_ = 0; // the values in use (shadow registers)
    Cycles base_time_ = 0;                          // the position was base_position_ at base_time_ and,
    Cycles base_position_ = 0;                      // while counting, has grown by one a cycle since
    Scheduler::EventId overflow_event_ = 0;
    RegisterFile other_; // capture/compare and DMA registers: kept, no behaviour
    std::uint64_t updates_ = 0, trgo_pulses_ = 0;
};

} // namespace sim
