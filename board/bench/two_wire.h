// A passive decoder of the two-wire bus (I2C) from its line levels: start and
// stop conditions, data bits sampled on the rising edges of SCL, grouped into
// frames of eight data bits and one acknowledge bit.
//
// The decoder only watches. A device on the bus listens to it and drives SDA
// itself: a receiver acknowledges by pulling SDA low when SCL falls after the
// 8th data bit (on_scl_fall(8)) and lets go when SCL falls after the
// acknowledge clock (on_scl_fall(9)).
#pragma once

#include <cstdint>
#include <deque>

#include "board/peripherals/gpio.h"

namespace sim {

// The board's bus pins on GPIOF.
constexpr int kSclPin = 0;
constexpr int kSdaPin = 1;

class TwoWireListener {
public:
    virtual ~TwoWireListener() = default;
    // SDA fell while SCL was high: a start, or a repeated start inside a
    // transaction. Either way a new frame begins.
    virtual void on_start() {}
    // SDA rose while SCL was high. Reported even without a start before it.
    virtual void on_stop() {}
    // The rising edge of the 9th clock of a frame: the byte, and whether SDA
    // was low then (acknowledged).
    virtual void on_byte(std::uint8_t /*value*/, bool /*acked*/) {}
    // Every rising edge of SCL, inside a transaction or not, after it has been
    // sampled.
    virtual void on_scl_rise() {}
    // Every falling edge of SCL. `bit` is the bit of the current frame this
    // edge ends: 1..8 for the data bits, 9 for the acknowledge bit, 0 when no
    // bit was clocked (the first fall after a start, or outside a transaction).
    virtual void on_scl_fall(int /*bit*/) {}
};

class TwoWireDecoder {
public:
    // Starts from idle lines (both high) unless told otherwise.
    explicit TwoWireDecoder(TwoWireListener &listener, bool scl = true, bool sda = true)
        : listener_(listener), scl_(scl), sda_(sda)
    {}
    TwoWireDecoder(const TwoWireDecoder &) = delete;
    TwoWireDecoder &operator=(const TwoWireDecoder &) = delete;

    // The present levels of both lines (true = high), whenever either may have
    // changed; unchanged levels are ignored.
    //
    // When both lines changed since the last call it is taken as SDA changing
    // while SCL is low: a falling SCL is handled before the SDA change, a
    // rising SCL after it. Both lines change at once when a device answers an
    // SCL edge inside the port's change notification, and devices only move
    // SDA while SCL is low; reading it the other way would invent a start or
    // a stop.
    //
    // A listener may change the lines from its callbacks (a device pulling SDA
    // low): calls made meanwhile are queued and handled in order once the
    // current one is done.
    void on_levels(bool scl, bool sda);

    // Follows the bus pins of `port`: feeds the decoder the port's present
    // levels on every change of either pin (Floating counts as high). The
    // decoder must live as long as the port. A decoder whose listener is a
    // device that goes by the bus alone (Gpio::ListenerKind::BusDevice)
    // follows it as one.
    void follow(Gpio &port, Gpio::ListenerKind kind = Gpio::ListenerKind::Observer);

    bool scl() const { return scl_; }
    bool sda() const { return sda_; }
    // Between a start and a stop.
    bool in_transaction() const { return in_transaction_; }
    // Bits of the current frame clocked so far: 0..9. It drops to 0 when SCL
    // falls after the acknowledge bit, and at a start.
    int bits_in_frame() const { return bits_; }
    // The data bits of the current frame so far, MSB first (after eight bits,
    // the whole byte).
    std::uint8_t data_bits() const { return data_; }

private:
    void apply(bool scl, bool sda);
    void apply_pending();
    void feed_levels();
    void set_scl(bool high);
    void set_sda(bool high);

    TwoWireListener &listener_;
    bool scl_, sda_;
    bool in_transaction_ = false;
    int bits_ = 0;
    std::uint8_t data_ = 0;
    bool busy_ = false;
    Gpio *port_ = nullptr; // the port followed, if any
    std::deque<std::pair<bool, bool>> pending_;
};

} // namespace sim
