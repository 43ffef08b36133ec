// USART1: byte timing from the baud-rate register and the frame format
// (8 or 9 bits with or without parity, 1 or 2 stop bits), the receive flags
// and their clears, automatic baud-rate detection, and a transmitter with
// its data register and shift register.
//
// The far end of the line is the host's. When the host says what its line
// is (the baud rate and format a serial port was set to), its bytes take
// its time, and a host whose line does not match the receiver's delivers
// what a real receiver would make of it: a framing error when a stop bit
// falls on a 0, a parity error when the parity bit is wrong, garbage when
// the rates are too far apart. Without that, the host matches the receiver.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "board/peripherals/peripheral.h"
#include "board/peripherals/scheduler.h"

namespace sim {

class Usart : public Peripheral {
public:
    // Register offsets
    static constexpr std::uint32_t kCr1 = 0x00, kCr2 = 0x04, kCr3 = 0x08, kBrr = 0x0C, kGtpr = 0x10, kRtor = 0x14,
                                   kRqr = 0x18, kIsr = 0x1C, kIcr = 0x20, kRdr = 0x24, kTdr = 0x28;
    // ISR bits
    static constexpr std::uint32_t kPE = 1u << 0, kFE = 1u << 1, kNE = 1u << 2, kORE = 1u << 3, kIDLE = 1u << 4,
                                   kRXNE = 1u << 5, kTC = 1u << 6, kTXE = 1u << 7, kABRE = 1u << 14, kABRF = 1u << 15,
                                   kCMF = 1u << 17, kTEACK = 1u << 21, kREACK = 1u << 22;
    // CR1 bits
    static constexpr std::uint32_t kUE = 1u << 0, kRE = 1u << 2, kTE = 1u << 3, kIDLEIE = 1u << 4, kRXNEIE = 1u << 5,
                                   kTCIE = 1u << 6, kTXEIE = 1u << 7, kPEIE = 1u << 8, kPS = 1u << 9, kPCE = 1u << 10,
                                   kM0 = 1u << 12, kCMIE = 1u << 14, kM1 = 1u << 28;
    // CR2 bits: stop bits (00: one, 10: two), automatic baud rate detection
    // and its mode (10: on a 0x7F frame, 11: on a 0x55 frame)
    static constexpr std::uint32_t kStopMask = 3u << 12, kTwoStopBits = 2u << 12, kABREN = 1u << 20,
                                   kAbrModeMask = 3u << 21, kAbrMode7F = 2u << 21, kAbrMode55 = 3u << 21;
    // RQR bits
    static constexpr std::uint32_t kABRRQ = 1u << 0;

    // The host's side of the line: what a serial port was set to.
    struct HostLine {
        enum class Parity { None, Even, Odd };
        std::uint32_t baud = 115200;
        // False when only the rate is known (a pseudo-terminal keeps no
        // character format): the format is taken to be the receiver's.
        bool format_known = true;
        unsigned data_bits = 8; // 5 to 8
        Parity parity = Parity::None;
        unsigned stop_bits = 1;
        bool operator==(const HostLine &o) const
        {
            return baud == o.baud && format_known == o.format_known && data_bits == o.data_bits && parity == o.parity &&
                stop_bits == o.stop_bits;
        }
        bool operator!=(const HostLine &o) const { return !(*this == o); }
        // Cycles one of its bytes takes on the line, when its format is known.
        Cycles byte_cycles() const;
    };

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
    // What the host's port is set to; nullopt: whatever the receiver is.
    // Bytes already on their way keep their timing.
    void set_host_line(std::optional<HostLine> line) { host_line_ = line; }
    const std::optional<HostLine> &host_line() const { return host_line_; }

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
    // Cycles one frame (start bit, 8 or 9 bits, 1 or 2 stop bits) takes at
    // the configured rate: 10 bit times for 8N1, 11 for 8E1.
    Cycles byte_cycles() const;
    // Bit times of one frame as configured.
    unsigned frame_bits() const;
    // Received bytes that came with a parity or framing error, since reset.
    std::uint64_t line_errors() const { return line_errors_; }

private:
    struct PendingByte {
        std::uint8_t value;
        LineError error;
    };
    void schedule_next_rx();
    Cycles host_byte_cycles() const;
    void detect_baud_rate(std::uint8_t value);
    std::uint32_t line_flags(std::uint8_t value, bool next_follows, std::uint32_t &rdr) const;
    void receive(const PendingByte &b, bool next_follows);
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

    std::uint64_t overruns_ = 0, line_errors_ = 0;
    std::optional<HostLine> host_line_;
    bool shifting_ = false, tdr_full_ = false;
    std::uint8_t tdr_ = 0;
    std::uint32_t tdr_last_ = 0; // TDR as last written, which it reads back

    std::function<void(std::uint8_t)> tx_sink_;
    std::function<void()> on_receiver_ready_;
};

} // namespace sim
