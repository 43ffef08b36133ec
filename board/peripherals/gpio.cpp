#include "board/peripherals/gpio.h"

namespace sim {

namespace {
constexpr unsigned kModeInput = 0, kModeOutput = 1, kModeAlternate = 2;
constexpr unsigned kPullUp = 1, kPullDown = 2;
} // namespace

void Gpio::reset()
{
    moder_ = moder_reset_;
    pupdr_ = pupdr_reset_;
    otyper_ = ospeedr_ = odr_ = lckr_ = 0;
    afr_.fill(0);
    levels_.fill(Level::Floating);
    dirty_ = 0xFFFFu;
    refresh();
}

Level Gpio::level(int pin) const
{
    const unsigned mode = (moder_ >> (2 * pin)) & 3u;
    const unsigned pull = (pupdr_ >> (2 * pin)) & 3u;
    const External ext = external_[pin];
    if (ext == External::DriveLow) return Level::Low;
    if (mode == kModeOutput || mode == kModeAlternate) {
        // Alternate-function outputs (the serial transmitter) idle high.
        const bool out_high = mode == kModeAlternate || ((odr_ >> pin) & 1u);
        const bool open_drain = (otyper_ >> pin) & 1u;
        if (!open_drain) return out_high ? Level::High : Level::Low;
        if (!out_high) return Level::Low;
        // A released open-drain line is high only where something pulls it up.
    }
    if (ext == External::DriveHigh || ext == External::PullUp) return Level::High;
    if (mode == kModeInput || mode == kModeOutput || mode == kModeAlternate) {
        if (pull == kPullUp) return Level::High;
        if (pull == kPullDown) return Level::Low;
    }
    return Level::Floating;
}

// Listeners hear every change in the order it happened: a change that a
// listener causes (a device answering a clock edge) is delivered only after
// every listener has heard the change that caused it.
void Gpio::refresh()
{
    if (notifying_) {
        again_ = true;
        return;
    }
    notifying_ = true;
    do {
        again_ = false;
        // Pins in ascending order, skipping those whose inputs did not change.
        for (std::uint32_t pending = dirty_; pending != 0; pending &= pending - 1) {
            const int pin = __builtin_ctz(pending);
            if (!(dirty_ & (1u << pin))) continue;
            dirty_ &= ~(1u << pin);
            const Level l = level(pin);
            if (l != levels_[pin]) {
                levels_[pin] = l;
                for (auto &cb : listeners_) cb(pin, l);
            }
        }
    } while (again_);
    notifying_ = false;
}

void Gpio::set_external(int pin, External e)
{
    external_[pin] = e;
    dirty_ |= 1u << pin;
    refresh();
}

void Gpio::set_odr(std::uint32_t value)
{
    value &= 0xFFFFu;
    dirty_ |= odr_ ^ value;
    odr_ = value;
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
    case kIdr: {
        std::uint32_t idr = 0;
        for (int pin = 0; pin < 16; ++pin) {
            if (levels_[pin] == Level::High) idr |= 1u << pin;
        }
        return idr;
    }
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
    switch (offset) {
    case kModer:
        moder_ = value;
        dirty_ = 0xFFFFu;
        break;
    case kOtyper:
        dirty_ |= otyper_ ^ (value & 0xFFFFu);
        otyper_ = value & 0xFFFFu;
        break;
    case kOspeedr:
        ospeedr_ = value;
        break;
    case kPupdr:
        pupdr_ = value;
        dirty_ = 0xFFFFu;
        break;
    case kOdr:
        set_odr(value);
        return;
    case kBsrr:
        // Set wins over reset for a pin named in both halves.
        set_odr((odr_ & ~(value >> 16)) | (value & 0xFFFFu));
        return;
    case kBrr:
        set_odr(odr_ & ~(value & 0xFFFFu));
        return;
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
