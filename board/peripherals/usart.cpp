#include "board/peripherals/usart.h"

#include <cmath>
#include <vector>

namespace sim {

namespace {
constexpr std::uint32_t kRxFrq = 1u << 3;
constexpr std::uint32_t kEIE = 1u << 0; // CR3: error interrupt enable
// The bit rate a host uses before the device has set its own: 115,942 baud.
constexpr Cycles kDefaultBitCycles = 69;
// A receiver sampling 16 times a bit takes a byte from a host whose rate is
// off by up to about 4 %; this much is safe for any frame.
constexpr double kBaudTolerance = 0.03;

bool odd_ones(std::uint32_t v)
{
    bool odd = false;
    for (; v != 0; v &= v - 1) odd = !odd;
    return odd;
}
} // namespace

Cycles Usart::HostLine::byte_cycles() const
{
    const unsigned bits = 1 + data_bits + (parity == Parity::None ? 0 : 1) + stop_bits;
    return static_cast<Cycles>(std::lround(static_cast<double>(bits) * kCoreHz / baud));
}

Cycles Usart::host_byte_cycles() const
{
    if (!host_line_) return byte_cycles();
    if (host_line_->format_known) return host_line_->byte_cycles();
    return static_cast<Cycles>(std::lround(static_cast<double>(frame_bits()) * kCoreHz / host_line_->baud));
}

void Usart::reset()
{
    sched_.cancel(rx_event_);
    sched_.cancel(idle_event_);
    rx_event_ = idle_event_ = 0;
    cr1_ = cr2_ = cr3_ = brr_ = gtpr_ = rtor_ = 0;
    isr_ = kTC | kTXE;
    rdr_ = tdr_last_ = 0;
    rx_line_.clear();
    rx_busy_until_ = rx_line_end_ = sched_.now();
    idle_armed_ = false;
    receiver_ready_reported_ = false;
    shifting_ = tdr_full_ = false;
    overruns_ = line_errors_ = 0;
    update_irq();
}

unsigned Usart::frame_bits() const
{
    const unsigned word = (cr1_ & kM0) ? 9 : (cr1_ & kM1) ? 7 : 8;
    const unsigned stop = (cr2_ & kStopMask) == kTwoStopBits ? 2 : 1;
    return 1 + word + stop;
}

Cycles Usart::byte_cycles() const
{
    // Oversampling by 16 makes BRR the bit time.
    return frame_bits() * (brr_ >= 16 ? Cycles(brr_) : kDefaultBitCycles);
}

void Usart::update_irq()
{
    const bool level = ((cr1_ & kRXNEIE) && (isr_ & (kRXNE | kORE))) || ((cr1_ & kTXEIE) && (isr_ & kTXE)) ||
        ((cr1_ & kTCIE) && (isr_ & kTC)) || ((cr1_ & kIDLEIE) && (isr_ & kIDLE)) || ((cr1_ & kCMIE) && (isr_ & kCMF)) ||
        ((cr1_ & kPEIE) && (isr_ & kPE)) || ((cr3_ & kEIE) && (isr_ & (kNE | kFE | kORE)));
    irq_.set_irq_level(irq_number_, level);
}

void Usart::force_flags(std::uint32_t isr_bits)
{
    isr_ |= isr_bits & (kPE | kFE | kNE | kORE | kIDLE | kCMF);
    update_irq();
}

// ------------------------------------------------------------------ receive

void Usart::host_send(const std::uint8_t *data, std::size_t n, LineError error)
{
    for (std::size_t i = 0; i < n; ++i) {
        rx_line_.push_back(PendingByte{data[i], error});
    }
    rx_line_end_ = std::max(rx_line_end_, std::max(sched_.now(), rx_busy_until_)) + n * host_byte_cycles();
    if (rx_event_ == 0) {
        schedule_next_rx();
    }
}

void Usart::schedule_next_rx()
{
    rx_event_ = 0;
    if (rx_line_.empty()) {
        return;
    }
    const Cycles start = std::max(sched_.now(), rx_busy_until_);
    rx_busy_until_ = start + host_byte_cycles();
    rx_event_ = sched_.schedule_at(rx_busy_until_, [this] {
        const PendingByte b = rx_line_.front();
        rx_line_.pop_front();
        receive(b, !rx_line_.empty());
        schedule_next_rx();
    });
}

void Usart::detect_baud_rate(std::uint8_t value)
{
    // The rate is measured on the first byte; in the frame modes the byte
    // must be the one the mode expects.
    const std::uint32_t mode = cr2_ & kAbrModeMask;
    const bool frame_ok = (mode != kAbrMode7F || value == 0x7F) && (mode != kAbrMode55 || value == 0x55);
    isr_ |= kABRF;
    if (!frame_ok) {
        isr_ |= kABRE;
        return;
    }
    if (host_line_) brr_ = static_cast<std::uint32_t>(std::lround(static_cast<double>(kCoreHz) / host_line_->baud));
}

std::uint32_t Usart::line_flags(std::uint8_t value, bool next_follows, std::uint32_t &rdr) const
{
    rdr = value;
    if (!host_line_) return 0;
    const HostLine &h = *host_line_;
    const double receiver_baud = static_cast<double>(kCoreHz) / (brr_ >= 16 ? brr_ : kDefaultBitCycles);
    if (std::abs(h.baud - receiver_baud) > kBaudTolerance * receiver_baud || (h.format_known && h.data_bits != 8)) {
        rdr = value ^ 0x5A; // sampled at the wrong moments: some other byte, badly framed
        return kFE;
    }
    if (!h.format_known) return 0;
    // The bits the host puts on the line after the eight data bits: its
    // parity bit, its stop bits, then the idle line or the next start bit.
    std::vector<unsigned> tail;
    if (h.parity != HostLine::Parity::None) tail.push_back(odd_ones(value) != (h.parity == HostLine::Parity::Odd));
    tail.insert(tail.end(), h.stop_bits, 1);
    tail.push_back(next_follows ? 0 : 1);
    tail.push_back(1);
    // What the receiver reads there: a ninth bit (data or parity), then its
    // stop bit.
    std::uint32_t flags = 0;
    std::size_t at = 0;
    if (cr1_ & kM0) {
        const unsigned ninth = tail[at++];
        rdr |= ninth << 8;
        if (cr1_ & kPCE) {
            const bool odd = (cr1_ & kPS) != 0;
            if ((odd_ones(value) != (ninth != 0)) != odd) flags |= kPE;
        }
    } else if (cr1_ & kPCE) {
        // Seven data bits and the parity in the eighth.
        const bool odd = (cr1_ & kPS) != 0;
        if (odd_ones(value) != odd) flags |= kPE;
    }
    if (tail[at] == 0) flags |= kFE;
    return flags;
}

void Usart::receive(const PendingByte &b, bool next_follows)
{
    if ((cr1_ & (kUE | kRE)) != (kUE | kRE)) {
        return; // receiver off: the byte is lost on the line
    }
    if ((cr2_ & kABREN) && !(isr_ & kABRF)) detect_baud_rate(b.value);
    std::uint32_t rdr = 0;
    const std::uint32_t line = line_flags(b.value, next_follows, rdr);
    if (line != 0) ++line_errors_;
    if (isr_ & kRXNE) {
        isr_ |= kORE; // the data register still holds the older byte; this one is lost
        ++overruns_;
    } else {
        rdr_ = rdr;
        isr_ |= kRXNE | line;
        if (b.error & kNoise) isr_ |= kNE;
        if (b.error & kFraming) isr_ |= kFE;
    }
    if (b.value == (cr2_ >> 24)) {
        isr_ |= kCMF; // character match against CR2.ADD
    }
    // The line goes idle one frame after this byte unless another follows.
    idle_armed_ = true;
    sched_.cancel(idle_event_);
    idle_event_ = sched_.schedule_in(byte_cycles(), [this] {
        idle_event_ = 0;
        if (idle_armed_ && rx_line_.empty()) {
            isr_ |= kIDLE;
            idle_armed_ = false;
            update_irq();
        }
    });
    update_irq();
}

// ----------------------------------------------------------------- transmit

void Usart::start_shift(std::uint8_t value)
{
    shifting_ = true;
    isr_ &= ~kTC;
    sched_.schedule_in(byte_cycles(), [this, value] {
        if (tx_sink_) tx_sink_(value);
        if (tdr_full_) {
            tdr_full_ = false;
            isr_ |= kTXE;
            start_shift(tdr_);
        } else {
            shifting_ = false;
            isr_ |= kTC;
        }
        update_irq();
    });
}

// ---------------------------------------------------------------- registers

std::uint32_t Usart::read(std::uint32_t offset, unsigned size)
{
    switch (offset) {
    case kCr1:
        return cr1_;
    case kCr2:
        return cr2_;
    case kCr3:
        return cr3_;
    case kBrr:
        return brr_;
    case kGtpr:
        return gtpr_;
    case kRtor:
        return rtor_;
    case kIsr:
        return isr_;
    case kRdr: {
        const std::uint32_t v = rdr_;
        isr_ &= ~kRXNE; // reading the data register empties it
        update_irq();
        return v;
    }
    case kTdr:
        return tdr_last_;
    case kRqr:
    case kIcr:
        return 0; // write-only
    default:
        return report_unimplemented(offset, size, 0, false);
    }
}

void Usart::write(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    const bool enabled = cr1_ & kUE;
    switch (offset) {
    case kCr1: {
        cr1_ = value;
        isr_ = (isr_ & ~(kTEACK | kREACK)) | ((cr1_ & kUE) && (cr1_ & kTE) ? kTEACK : 0) |
            ((cr1_ & kUE) && (cr1_ & kRE) ? kREACK : 0);
        if (receiver_ready() && !receiver_ready_reported_) {
            receiver_ready_reported_ = true;
            if (on_receiver_ready_) on_receiver_ready_();
        }
        break;
    }
    case kCr2:
        if (!enabled) cr2_ = value; // frame settings only while the port is off
        break;
    case kCr3:
        if (!enabled) cr3_ = value;
        break;
    case kBrr:
        if (!enabled) brr_ = value & 0xFFFFu;
        break;
    case kGtpr:
        gtpr_ = value;
        break;
    case kRtor:
        rtor_ = value;
        break;
    case kRqr:
        if (value & kRxFrq) isr_ &= ~kRXNE;
        if (value & kABRRQ) isr_ &= ~(kABRF | kABRE); // measure again on the next byte
        break;
    case kIcr:
        isr_ &= ~(value & (kPE | kFE | kNE | kORE | kIDLE | kTC | kCMF));
        break;
    case kTdr:
        tdr_last_ = value & 0x1FFu;
        if ((cr1_ & (kUE | kTE)) != (kUE | kTE)) {
            break; // transmitter off: nothing goes out
        }
        if (!shifting_) {
            start_shift(static_cast<std::uint8_t>(value));
        } else if (!tdr_full_) {
            tdr_ = static_cast<std::uint8_t>(value);
            tdr_full_ = true;
            isr_ &= ~kTXE;
        }
        // a write while TXE is clear overwrites nothing on this model: the byte is dropped
        break;
    case kIsr:
    case kRdr:
        break; // read-only
    default:
        report_unimplemented(offset, size, value, true);
        return;
    }
    update_irq();
}

bool Usart::peek(std::uint32_t offset, unsigned size, std::uint32_t &value)
{
    if (offset != kRdr) return Peripheral::peek(offset, size, value);
    value = rdr_;
    return true;
}

} // namespace sim
