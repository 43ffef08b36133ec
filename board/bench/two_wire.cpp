#include "board/bench/two_wire.h"

namespace sim {

void TwoWireDecoder::on_levels(bool scl, bool sda)
{
    pending_.emplace_back(scl, sda);
    if (busy_) return; // a listener moved a line; handled after the current change
    busy_ = true;
    while (!pending_.empty()) {
        const auto [new_scl, new_sda] = pending_.front();
        pending_.pop_front();
        if (new_scl != scl_ && !new_scl) set_scl(false);
        if (new_sda != sda_) set_sda(new_sda);
        if (new_scl != scl_) set_scl(new_scl);
    }
    busy_ = false;
}

void TwoWireDecoder::follow(Gpio &port)
{
    Gpio *p = &port;
    auto high = [p](int pin) { return p->level(pin) != Level::Low; };
    on_levels(high(kSclPin), high(kSdaPin));
    port.on_change(
        [this, high](int pin, Level) {
            // The port's present levels, not the one that changed: inside a
            // nested notification the other pin may already have moved.
            if (pin == kSclPin || pin == kSdaPin) on_levels(high(kSclPin), high(kSdaPin));
        },
        1u << kSclPin | 1u << kSdaPin);
}

void TwoWireDecoder::set_sda(bool high)
{
    sda_ = high;
    if (!scl_) return; // data changing in the low phase of the clock
    if (!high) {
        in_transaction_ = true;
        bits_ = 0;
        data_ = 0;
        listener_.on_start();
    } else {
        in_transaction_ = false;
        bits_ = 0;
        data_ = 0;
        listener_.on_stop();
    }
}

void TwoWireDecoder::set_scl(bool high)
{
    scl_ = high;
    if (high) {
        if (in_transaction_ && bits_ < 9) {
            ++bits_;
            if (bits_ <= 8) {
                data_ = static_cast<std::uint8_t>((data_ << 1) | (sda_ ? 1u : 0u));
            } else {
                listener_.on_byte(data_, !sda_);
            }
        }
        listener_.on_scl_rise();
    } else {
        const int bit = in_transaction_ ? bits_ : 0;
        if (bits_ == 9) {
            bits_ = 0;
            data_ = 0;
        }
        listener_.on_scl_fall(bit);
    }
}

} // namespace sim
