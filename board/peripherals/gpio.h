// A GPIO port: mode, output type and pull per pin, the set/reset registers,
// and pin levels that also depend on what the board connects to each pin.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "board/peripherals/peripheral.h"

namespace sim {

enum class Level : std::uint8_t { Low, High, Floating };

class Gpio : public Peripheral {
public:
    // Register offsets
    static constexpr std::uint32_t kModer = 0x00, kOtyper = 0x04, kOspeedr = 0x08, kPupdr = 0x0C, kIdr = 0x10,
                                   kOdr = 0x14, kBsrr = 0x18, kLckr = 0x1C, kAfrl = 0x20, kAfrh = 0x24, kBrr = 0x28;

    // What the board wires to a pin from outside the chip.
    enum class External : std::uint8_t { None, PullUp, DriveLow, DriveHigh };

    Gpio(char port_letter, std::uint32_t moder_reset, std::uint32_t pupdr_reset)
        : letter_(port_letter), moder_reset_(moder_reset), pupdr_reset_(pupdr_reset)
    {}

    std::string name() const override { return std::string("GPIO") + letter_; }
    void reset() override;
    std::uint32_t read(std::uint32_t offset, unsigned size) override;
    void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;

    // ODR, BSRR and BRR: the registers that change only the output data.
    static constexpr bool is_output_data(std::uint32_t offset)
    {
        return offset == kOdr || offset == kBsrr || offset == kBrr;
    }
    // write() to one of them, inline: the firmware makes such writes by the
    // thousand for every point (the synthesizer's bus, its delays), and with
    // nobody listening to the port they come down to a few operations.
    void write_output_data(std::uint32_t offset, std::uint32_t value) { set_odr(output_data_after(offset, value)); }
    // write_output_data() to a port that nobody listens to (!listened()):
    // then ODR is all it changes.
    void store_output_data(std::uint32_t offset, std::uint32_t value) { odr_ = output_data_after(offset, value); }
    // The ODR word itself, for a CPU that makes such stores on its own (the
    // host build's quiet stores) while !listened().
    std::uint32_t *output_latch() { return &odr_; }
    // What ODR becomes by a write of `value` to `offset`.
    std::uint32_t output_data_after(std::uint32_t offset, std::uint32_t value) const
    {
        // BSRR: set wins over reset for a pin named in both halves.
        if (offset == kBsrr) return ((odr_ & ~(value >> 16)) | value) & 0xFFFFu;
        if (offset == kBrr) return odr_ & ~value & 0xFFFFu;
        return value & 0xFFFFu;
    }

    // Someone hears this port's pin changes (on_change).
    bool listened() const { return !listeners_.empty(); }
    // Every listener, if any, is a BusDevice.
    bool only_bus_devices_listen() const { return observers_ == 0; }

    Level level(int pin) const;
    void set_external(int pin, External e);
    // Called with (pin, new level) whenever the level of one of `pins` (one
    // bit a pin; all of them by default) changes.
    void on_change(std::function<void(int, Level)> cb, std::uint32_t pins = 0xFFFFu)
    {
        add_listener(Listener{pins, nullptr, nullptr, std::move(cb)}, ListenerKind::Observer);
    }
    // What a listener does with a change it hears.
    enum class ListenerKind : std::uint8_t {
        // Anything: it may read the board's time, raise an interrupt,
        // schedule an event, ask the CPU to pause.
        Observer,
        // A device on the port's pins: it goes by the levels alone, reads
        // nothing else of the board (not the time) and changes nothing but
        // its own state and the outside connections of this port's pins
        // (set_external). A CPU may then hand it stores to the output data
        // while its own clock runs ahead of the board's (the host build's
        // quiet stores), one by one and in order.
        BusDevice,
    };
    // The same with a plain function of a pointer, cheaper to call: for a
    // listener that hears every edge of the synthesizer's bus.
    using ChangeCallback = void (*)(void *context, int pin, Level level);
    void on_change(ChangeCallback callback, void *context, std::uint32_t pins = 0xFFFFu,
                   ListenerKind kind = ListenerKind::Observer)
    {
        add_listener(Listener{pins, callback, context, {}}, kind);
    }
    // The pins that are low, one bit a pin (a pin neither low nor high
    // floats): level(pin) == Level::Low for each of them.
    std::uint32_t low_pins() const { return levels().low; }
    // True when `value` stored at `offset` sets or resets output latches
    // (BSRR, BRR) of pins no listener watches: the store changes nothing
    // but ODR, and storing it again right after changes nothing at all.
    bool plain_output_store(std::uint32_t offset, std::uint32_t value) const
    {
        const std::uint32_t pins = offset == kBsrr ? (value | value >> 16) & 0xFFFFu
            : offset == kBrr                       ? value & 0xFFFFu
                                                   : 0xFFFFu;
        return (offset == kBsrr || offset == kBrr) && (pins & watched_) == 0;
    }

    std::uint32_t moder() const { return moder_; }
    std::uint32_t otyper() const { return otyper_; }
    std::uint32_t ospeedr() const { return ospeedr_; }
    std::uint32_t pupdr() const { return pupdr_; }
    std::uint32_t odr() const { return odr_; }
    std::uint32_t afr(int i) const { return afr_[i]; }

private:
    // Pin levels of all 16 pins at once, one bit a pin: high, and low (a
    // pin in neither floats).
    struct Levels {
        std::uint32_t high = 0, low = 0;
    };
    void write_setting(std::uint32_t offset, std::uint32_t value, unsigned size);
    void set_odr(std::uint32_t value)
    {
        value &= 0xFFFFu;
        if (listeners_.empty()) {
            // Nobody to tell: IDR works the levels out when it is read.
            odr_ = value;
            return;
        }
        dirty_ |= odr_ ^ value;
        odr_ = value;
        if (dirty_ != 0) notify();
    }
    void update_modes();
    void update_odr_terms();
    Levels levels_for(std::uint32_t odr) const;
    Levels levels() const
    {
        return {fixed_.high | (odr_ & high_if_set_), fixed_.low | (~odr_ & low_if_clear_) | (odr_ & low_if_set_)};
    }
    // Brings levels_ up to date with the dirty pins, telling the listeners.
    void refresh()
    {
        if (listeners_.empty()) {
            // Nobody to tell, so nothing can change while telling.
            levels_ = levels();
            dirty_ = 0;
            return;
        }
        notify();
    }
    // Inline: the synthesizer's bus changes a pin some 600 times a point.
    void notify()
    {
        if (notifying_) {
            again_ = true;
            return;
        }
        notify_changes();
    }
    void notify_changes();
    // The same for any number of pins and listeners.
    void notify_pins();

    char letter_;
    std::uint32_t moder_reset_, pupdr_reset_;
    std::uint32_t moder_ = 0, otyper_ = 0, ospeedr_ = 0, pupdr_ = 0, odr_ = 0, lckr_ = 0;
    std::array<std::uint32_t, 2> afr_{};
    std::array<External, 16> external_{};
    // MODER, PUPDR and the outside connections as one bit a pin, kept up to
    // date as they change.
    std::uint32_t output_ = 0, alternate_ = 0, analog_ = 0, pull_up_ = 0, pull_down_ = 0;
    std::uint32_t driven_low_ = 0, pulled_high_ = 0; // from outside: DriveLow; DriveHigh or PullUp
    // What the levels are as a function of ODR alone, worked out again when
    // anything else changes: high = fixed.high | (ODR & high_if_set),
    // low = fixed.low | (~ODR & low_if_clear) | (ODR & low_if_set).
    Levels fixed_;
    std::uint32_t high_if_set_ = 0, low_if_clear_ = 0, low_if_set_ = 0;
    Levels levels_; // as the listeners last heard them; with none, not kept up with ODR
    // Pins whose mode, pull, output or outside connection changed since
    // their level was last worked out; the others cannot have changed.
    std::uint32_t dirty_ = 0;
    struct Listener {
        std::uint32_t pins;
        ChangeCallback callback; // nullptr: cb
        void *context;
        std::function<void(int, Level)> cb;
    };
    void add_listener(Listener listener, ListenerKind kind)
    {
        if (kind == ListenerKind::Observer) ++observers_;
        if (listeners_.empty()) {
            levels_ = levels(); // the levels the first listener starts from
            dirty_ = 0;
        }
        watched_ |= listener.pins;
        listeners_.push_back(std::move(listener));
        const Listener &only = listeners_.front();
        const bool one = listeners_.size() == 1 && only.callback != nullptr;
        only_callback_ = one ? only.callback : nullptr;
        only_context_ = one ? only.context : nullptr;
        only_pins_ = one ? only.pins : 0;
    }
    std::vector<Listener> listeners_;
    std::uint32_t watched_ = 0; // the pins some listener watches
    std::size_t observers_ = 0; // listeners that are not bus devices
    // The listener, when there is one and it is a plain function (nullptr
    // otherwise): notify_changes() calls it without a look at the list.
    ChangeCallback only_callback_ = nullptr;
    void *only_context_ = nullptr;
    std::uint32_t only_pins_ = 0;
    bool notifying_ = false, again_ = false;
};

} // namespace sim
