#include "board/peripherals/usart.h"

namespace sim {

namespace {
constexpr std::uint32_t kRxFrq = 1u << 3;
constexpr std::uint32_t kEIE = 1u << 0; // CR3: error interrupt enable
// The bit rate a host uses before the device has set its own: 115,942 baud.
constexpr Cycles kDefaultBitCycles = 69;
} // namespace

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
    overruns_ = 0;
    update_irq();
}

Cycles Usart::byte_cycles() const
{
    // 1 start, 8 data, 1 stop bit; oversampling by 16 makes BRR the bit time.
    return 10 * (brr_ >= 16 ? Cycles(brr_) : kDefaultBitCycles);
}

void Usart::update_irq()
{
    const bool level = ((cr1_ & kRXNEIE) && (isr_ & (kRXNE | kORE))) || ((cr1_ & kTXEIE) && (isr_ & kTXE)) ||
        ((cr1_ & kTCIE) && (isr_ & kTC)) || ((cr1_ & kIDLEIE) && (isr_ & kIDLE)) || ((cr1_ & kCMIE) && (isr_ & kCMF)) ||
        ((cr3_ & kEIE) && (isr_ & (kNE | kFE | kORE)));
    irq_.set_irq_level(irq_number_, level);
}

void Usart::force_flags(std::uint32_t isr_bits)
{
    isr_ |= isr_bits & (kFE | kNE | kORE | kIDLE | kCMF);
    update_irq();
}

// ------------------------------------------------------------------ receive

void Usart::host_send(const std::uint8_t *data, std::size_t n, LineError error)
{
    for (std::size_t i = 0; i < n; ++i) {
        rx_line_.push_back(PendingByte{data[i], error});
    }
    rx_line_end_ = std::max(rx_line_end_, std::max(sched_.now(), rx_busy_until_)) + n * byte_cycles();
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
    rx_busy_until_ = start + byte_cycles();
    rx_event_ = sched_.schedule_at(rx_busy_until_, [this] {
        const PendingByte b = rx_line_.front();
        rx_line_.pop_front();
        receive(b);
        schedule_next_rx();
    });
}

void Usart::receive(const PendingByte &b)
{
    if ((cr1_ & (kUE | kRE)) != (kUE | kRE)) {
        return; // receiver off: the byte is lost on the line
    }
    if (isr_ & kRXNE) {
        isr_ |= kORE; // the data register still holds the older byte; this one is lost
        ++overruns_;
    } else {
        rdr_ = b.value;
        isr_ |= kRXNE;
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
        break;
    case kIcr:
        isr_ &= ~(value & (kFE | kNE | kORE | kIDLE | kTC | kCMF));
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
