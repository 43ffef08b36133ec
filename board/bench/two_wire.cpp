#include "board/bench/two_wire.h"

namespace sim {

void TwoWireDecoder::on_levels(bool scl, bool sda)
{
    if (busy_) {
        // A listener moved a line: handled after the current change.
        pending_.emplace_back(scl, sda);
        return;
    }
    busy_ = true;
    apply(scl, sda);
    if (!pending_.empty()) apply_pending();
    busy_ = false;
}

void TwoWireDecoder::apply_pending()
{
    while (!pending_.empty()) {
        const auto [scl, sda] = pending_.front();
        pending_.pop_front();
        apply(scl, sda);
    }
}

void TwoWireDecoder::follow(Gpio &port, Gpio::ListenerKind kind)
{
    port_ = &port;
    feed_levels();
    // The port's present levels, not the one that changed: inside a nested
    // notification the other pin may already have moved.
    port.on_change([](void *decoder, int, Level) { static_cast<TwoWireDecoder *>(decoder)->feed_levels(); }, this,
                   1u << kSclPin | 1u << kSdaPin, kind);
}

void TwoWireDecoder::feed_levels()
{
    // Floating counts as high.
    const std::uint32_t low = port_->low_pins();
    on_levels(!((low >> kSclPin) & 1u), !((low >> kSdaPin) & 1u));
}

inline __attribute__((always_inline)) void TwoWireDecoder::set_sda(bool high)
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

inline __attribute__((always_inline)) void TwoWireDecoder::set_scl(bool high)
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

// Every line change goes through here: set_sda() and set_scl() are inlined.
inline void TwoWireDecoder::apply(bool scl, bool sda)
{
    if (scl != scl_ && !scl) set_scl(false);
    if (sda != sda_) set_sda(sda);
    if (scl != scl_) set_scl(scl);
}

} // namespace sim
