// Reset and clock control: oscillators with their ready flags, the clock
// switch, and the enable bits that gate each peripheral's clock.
#pragma once

#include <array>

#include "board/peripherals/peripheral.h"
#include "board/peripherals/scheduler.h"

namespace sim {

class Rcc : public Peripheral {
public:
    static constexpr std::uint32_t kCr = 0x00, kCfgr = 0x04, kCir = 0x08, kApb2rstr = 0x0C, kApb1rstr = 0x10,
                                   kAhbenr = 0x14, kApb2enr = 0x18, kApb1enr = 0x1C, kBdcr = 0x20, kCsr = 0x24,
                                   kAhbrstr = 0x28, kCfgr2 = 0x2C, kCfgr3 = 0x30, kCr2 = 0x34;

    explicit Rcc(Scheduler &sched) : sched_(sched) {}
    std::string name() const override { return "RCC"; }
    void reset() override;
    std::uint32_t read(std::uint32_t offset, unsigned size) override;
    void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;

    // Its reads change nothing: a debugger's peek is a read.
    bool peek(std::uint32_t offset, unsigned size, std::uint32_t &value) override;

    // True when bit `bit` of the enable register at `offset` is set.
    bool enabled(std::uint32_t offset, unsigned bit) const { return (reg(offset) >> bit) & 1u; }
    // The register at `offset` itself, for a reader that tests its bits on
    // every access (the board's clock gates); it lives as long as the RCC.
    const std::uint32_t &reg(std::uint32_t offset) const { return regs_.at(offset / 4); }

private:
    static constexpr std::uint32_t kLastOffset = kCr2;
    static bool defines(std::uint32_t offset) { return offset % 4 == 0 && offset <= kLastOffset; }
    std::uint32_t &at(std::uint32_t offset) { return regs_[offset / 4]; }
    void write_oscillator(std::uint32_t reg, std::uint32_t value, std::uint32_t on, std::uint32_t ready, Cycles start);

    Scheduler &sched_;
    std::array<std::uint32_t, kLastOffset / 4 + 1> regs_{};
};

} // namespace sim
