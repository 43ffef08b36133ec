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

    Level level(int pin) const;
    void set_external(int pin, External e);
    // Called with (pin, new level) whenever a pin's level changes.
    void on_change(std::function<void(int, Level)> cb) { listeners_.push_back(std::move(cb)); }

    std::uint32_t moder() const { return moder_; }
    std::uint32_t otyper() const { return otyper_; }
    std::uint32_t ospeedr() const { return ospeedr_; }
    std::uint32_t pupdr() const { return pupdr_; }
    std::uint32_t odr() const { return odr_; }
    std::uint32_t afr(int i) const { return afr_[i]; }

private:
    void set_odr(std::uint32_t value);
    void refresh();

    char letter_;
    std::uint32_t moder_reset_, pupdr_reset_;
    std::uint32_t moder_ = 0, otyper_ = 0, ospeedr_ = 0, pupdr_ = 0, odr_ = 0, lckr_ = 0;
    std::array<std::uint32_t, 2> afr_{};
    std::array<External, 16> external_{};
    std::array<Level, 16> levels_{};
    // Pins whose mode, pull, output or outside connection changed since
    // their level was last worked out; the others cannot have changed.
    std::uint32_t dirty_ = 0;
    std::vector<std::function<void(int, Level)>> listeners_;
    bool notifying_ = false, again_ = false;
};

} // namespace sim
