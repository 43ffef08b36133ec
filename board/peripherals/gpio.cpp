#include "board/peripherals/gpio.h"

namespace sim {

namespace {
constexpr unsigned kModeOutput = 1, kModeAlternate = 2, kModeAnalog = 3;
constexpr unsigned kPullUp = 1, kPullDown = 2;
} // namespace

void Gpio::reset()
{
    moder_ = moder_reset_;
    pupdr_ = pupdr_reset_;
    otyper_ = ospeedr_ = odr_ = lckr_ = 0;
    afr_.fill(0);
    update_modes();
    levels_ = Levels{};
    dirty_ = 0xFFFFu;
    refresh();
}

namespace {

// The pins whose 2-bit field in `field` (MODER, PUPDR) holds `value`, one
// bit a pin.
std::uint32_t pins_with(std::uint32_t field, unsigned value)
{
    const std::uint32_t pattern = 0x55555555u * value;
    std::uint32_t x = ~(field ^ pattern); // both bits of a matching field set
    x &= x >> 1;
    x &= 0x55555555u;
    // Gather the even bits into the low half.
    x = (x | (x >> 1)) & 0x33333333u;
    x = (x | (x >> 2)) & 0x0F0F0F0Fu;
    x = (x | (x >> 4)) & 0x00FF00FFu;
    x = (x | (x >> 8)) & 0x0000FFFFu;
    return x;
}

} // namespace

void Gpio::update_modes()
{
    output_ = pins_with(moder_, kModeOutput);
    alternate_ = pins_with(moder_, kModeAlternate);
    analog_ = pins_with(moder_, kModeAnalog);
    pull_up_ = pins_with(pupdr_, kPullUp);
    pull_down_ = pins_with(pupdr_, kPullDown);
    driven_low_ = pulled_high_ = 0;
    for (int pin = 0; pin < 16; ++pin) {
        if (external_[pin] == External::DriveLow) driven_low_ |= 1u << pin;
        if (external_[pin] == External::DriveHigh || external_[pin] == External::PullUp) pulled_high_ |= 1u << pin;
    }
    update_odr_terms();
}

void Gpio::update_odr_terms()
{
    // A GPIO output's level follows its ODR bit: push-pull drives it either
    // way, open drain pulls low or lets go. Every other pin ignores ODR.
    const std::uint32_t follows = output_ & ~driven_low_ & 0xFFFFu;
    const Levels clear = levels_for(0), set = levels_for(0xFFFFu);
    fixed_ = {clear.high & ~follows, clear.low & ~follows};
    high_if_set_ = set.high & follows;
    low_if_clear_ = clear.low & follows;
    low_if_set_ = set.low & follows;
}

// Every pin at once, by the rules of level(): a device holding a pin low
// wins; then a push-pull output, or an open-drain one pulling low; a
// released open-drain line, an input or an analog pin is high where
// something outside pulls it up, else follows its own pull (an analog pin
// has none) or floats.
Gpio::Levels Gpio::levels_for(std::uint32_t odr) const
{
    const std::uint32_t driving = output_ | alternate_;
    // Alternate-function outputs (the serial transmitter) idle high.
    const std::uint32_t out_high = alternate_ | (output_ & odr);
    const std::uint32_t push_pull = driving & ~otyper_;
    const std::uint32_t pulling_low = driving & ~out_high; // either output type
    const std::uint32_t released = ~driven_low_ & ~push_pull & ~pulling_low;
    const std::uint32_t own_pull = released & ~pulled_high_ & ~analog_;
    Levels l;
    l.high = ((~driven_low_ & push_pull & out_high) | (released & pulled_high_) | (own_pull & pull_up_)) & 0xFFFFu;
    l.low = (driven_low_ | (~driven_low_ & pulling_low) | (own_pull & pull_down_)) & 0xFFFFu;
    return l;
}

Level Gpio::level(int pin) const
{
    const Levels l = levels();
    if ((l.high >> pin) & 1u) return Level::High;
    if ((l.low >> pin) & 1u) return Level::Low;
    return Level::Floating;
}

// Listeners hear every change in the order it happened: a change that a
// listener causes (a device answering a clock edge) is delivered only after
// every listener has heard the change that caused it.
void Gpio::notify_changes()
{
    if (only_callback_ == nullptr) return notify_pins();
    notifying_ = true;
    do {
        again_ = false;
        const std::uint32_t dirty = dirty_;
        if ((dirty & (dirty - 1)) != 0) {
            notifying_ = false;
            return notify_pins(); // a pass over all of them, from here on
        }
        // No more than one pin to look at (a store that moves the bus's clock
        // or data line) and one listener: a pass of notify_pins() with
        // nothing to loop over.
        dirty_ = 0;
        const Levels now = levels();
        const std::uint32_t moved = ((now.high ^ levels_.high) | (now.low ^ levels_.low)) & dirty;
        if (moved == 0) continue;
        levels_.high ^= (now.high ^ levels_.high) & moved;
        levels_.low ^= (now.low ^ levels_.low) & moved;
        const Level l = (now.high & moved) ? Level::High : (now.low & moved) ? Level::Low : Level::Floating;
        if (only_pins_ & moved) only_callback_(only_context_, __builtin_ctz(moved), l);
    } while (again_);
    notifying_ = false;
}

void Gpio::notify_pins()
{
    notifying_ = true;
    do {
        again_ = false;
        // Pins in ascending order, skipping those whose inputs did not change.
        for (std::uint32_t pending = dirty_; pending != 0; pending &= pending - 1) {
            const int pin = __builtin_ctz(pending);
            const std::uint32_t bit = 1u << pin;
            if (!(dirty_ & bit)) continue;
            dirty_ &= ~bit;
            const Levels now = levels();
            if (((now.high ^ levels_.high) | (now.low ^ levels_.low)) & bit) {
                levels_.high = (levels_.high & ~bit) | (now.high & bit);
                levels_.low = (levels_.low & ~bit) | (now.low & bit);
                const Level l = (now.high & bit) ? Level::High : (now.low & bit) ? Level::Low : Level::Floating;
                for (auto &listener : listeners_) {
                    if (!(listener.pins & bit)) continue;
                    if (listener.callback != nullptr) {
                        listener.callback(listener.context, pin, l);
                    } else {
                        listener.cb(pin, l);
                    }
                }
            }
        }
    } while (again_);
    notifying_ = false;
}

void Gpio::set_external(int pin, External e)
{
    external_[pin] = e;
    const std::uint32_t bit = 1u << pin;
    driven_low_ = e == External::DriveLow ? driven_low_ | bit : driven_low_ & ~bit;
    pulled_high_ = e == External::DriveHigh || e == External::PullUp ? pulled_high_ | bit : pulled_high_ & ~bit;
    update_odr_terms();
    dirty_ |= bit;
    refresh();
}

std::uint32_t Gpio::read(std::uint32_t offset, unsigned size)
{
    switch (offset) {
    case kModer:
        return moder_;
    case kOtyper:
        return otyper_;
    case kOspeedr:
        return ospeedr_;
    case kPupdr:
        return pupdr_;
    case kIdr:
        return listeners_.empty() ? levels().high : levels_.high;
    case kOdr:
        return odr_;
    case kLckr:
        return lckr_;
    case kAfrl:
        return afr_[0];
    case kAfrh:
        return afr_[1];
    case kBsrr:
    case kBrr:
        return 0; // write-only
    default:
        return report_unimplemented(offset, size, 0, false);
    }
}

void Gpio::write(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    if (is_output_data(offset)) return write_output_data(offset, value);
    write_setting(offset, value, size);
}

void Gpio::write_setting(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    switch (offset) {
    case kModer:
        moder_ = value;
        update_modes();
        dirty_ = 0xFFFFu;
        break;
    case kOtyper:
        dirty_ |= otyper_ ^ (value & 0xFFFFu);
        otyper_ = value & 0xFFFFu;
        update_odr_terms();
        break;
    case kOspeedr:
        ospeedr_ = value;
        break;
    case kPupdr:
        pupdr_ = value;
        update_modes();
        dirty_ = 0xFFFFu;
        break;
    case kLckr:
        lckr_ = value;
        break;
    case kAfrl:
        afr_[0] = value;
        break;
    case kAfrh:
        afr_[1] = value;
        break;
    case kIdr:
        return; // read-only
    default:
        report_unimplemented(offset, size, value, true);
        return;
    }
    refresh();
}

} // namespace sim
