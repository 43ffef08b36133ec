// USART1: byte timing from the baud-rate register, the receive flags and
// their clears, and a transmitter with its data register and shift register.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "board/peripherals/peripheral.h"
#include "board/peripherals/scheduler.h"

namespace sim {

class Usart : public Peripheral {
public:
    // Register offsets
    static constexpr std::uint32_t kCr1 = 0x00, kCr2 = 0x04, kCr3 = 0x08, kBrr = 0x0C, kGtpr = 0x10, kRtor = 0x14,
                                   kRqr = 0x18, kIsr = 0x1C, kIcr = 0x20, kRdr = 0x24, kTdr = 0x28;
    // ISR bits
    static constexpr std::uint32_t kFE = 1u << 1, kNE = 1u << 2, kORE = 1u << 3, kIDLE = 1u << 4, kRXNE = 1u << 5,
                                   kTC = 1u << 6, kTXE = 1u << 7, kCMF = 1u << 17, kTEACK = 1u << 21, kREACK = 1u << 22;
    // CR1 bits
    static constexpr std::uint32_t kUE = 1u << 0, kRE = 1u << 2, kTE = 1u << 3, kIDLEIE = 1u << 4, kRXNEIE = 1u << 5,
                                   kTCIE = 1u << 6, kTXEIE = 1u << 7, kCMIE = 1u << 14;

    // Line errors a test can attach to a byte.
    enum LineError : unsigned { kNoError = 0, kNoise = 1, kFraming = 2 };

    Usart(Scheduler &sched, IrqSink &irq, int irq_number) : sched_(sched), irq_(irq), irq_number_(irq_number) {}

    std::string name() const override { return "USART1"; }
    void reset() override;
    std::uint32_t read(std::uint32_t offset, unsigned size) override;
    void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;
    // RDR without emptying it.
    bool peek(std::uint32_t offset, unsigned size, std::uint32_t &value) override;

    // ---- the far end of the line
    // Bytes sent by the host enter the receiver one byte time apart, after
    // any bytes still on their way.
    void host_send(const std::uint8_t *data, std::size_t n, LineError error = kNoError);
    bool host_sending() const { return !rx_line_.empty(); }
    // When the last byte queued so far will have arrived.
    Cycles host_send_done_at() const { return rx_line_end_; }
    // Each byte the transmitter finishes shifting out, at the time it ends.
    void set_tx_sink(std::function<void(std::uint8_t)> sink) { tx_sink_ = std::move(sink); }
    // Called once when the receiver and its interrupt are both switched on.
    void set_on_receiver_ready(std::function<void()> cb) { on_receiver_ready_ = std::move(cb); }

    // ---- state for tests and the board
    bool receiver_ready() const { return (cr1_ & (kUE | kRE | kRXNEIE)) == (kUE | kRE | kRXNEIE); }
    bool tx_idle() const { return (isr_ & kTC) && (isr_ & kTXE); }
    std::uint32_t isr() const { return isr_; }
    // Received bytes lost because the data register still held the one
    // before (the ORE condition), since reset.
    std::uint64_t overruns() const { return overruns_; }
    std::uint32_t brr() const { return brr_; }
    std::uint32_t cr1() const { return cr1_; }
    // Raise error flags as the receiver would (test hooks).
    void force_flags(std::uint32_t isr_bits);
    // Cycles one 10-bit frame takes at the configured rate.
    Cycles byte_cycles() const;

private:
    struct PendingByte {
        std::uint8_t value;
        LineError error;
    };
    void schedule_next_rx();
    void receive(const PendingByte &b);
    void start_shift(std::uint8_t value);
    void update_irq();

    Scheduler &sched_;
    IrqSink &irq_;
    int irq_number_;

    std::uint32_t cr1_ = 0, cr2_ = 0, cr3_ = 0, brr_ = 0, gtpr_ = 0, rtor_ = 0;
    std::uint32_t isr_ = 0, rdr_ = 0;

    std::deque<PendingByte> rx_line_;
    Cycles rx_busy_until_ = 0, rx_line_end_ = 0;
    Scheduler::EventId rx_event_ = 0, idle_event_ = 0;
    bool idle_armed_ = false;
    bool receiver_ready_reported_ = false;

    std::uint64_t overruns_ = 0;
    bool shifting_ = false, tdr_full_ = false;
    std::uint8_t tdr_ = 0;
    std::uint32_t tdr_last_ = 0; // TDR as last written, which it reads back

    std::function<void(std::uint8_t)> tx_sink_;
    std::function<void()> on_receiver_ready_;
};

} // namespace sim
