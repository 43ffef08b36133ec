#include "board/bench/si5351.h"

#include <stdexcept>
#include <string>

namespace sim {

namespace {

// A register number as an index into the register file.
constexpr std::size_t reg_index(int reg) { return static_cast<std::size_t>(reg); }

constexpr std::uint8_t kDivBy4 = 0x0C; // MSn_DIVBY4, byte 2 of a MultiSynth block

// The three parameters of a feedback or output MultiSynth block of eight
// registers: P3[15:8], P3[7:0], (R, DIVBY4,) P1[17:16], P1[15:8], P1[7:0],
// P3[19:16] | P2[19:16], P2[15:8], P2[7:0].
struct Params {
    std::uint32_t p1, p2, p3;
};

Params params(const std::array<std::uint8_t, 256> &r, int base)
{
    auto at = [&r, base](int i) { return static_cast<std::uint32_t>(r[reg_index(base + i)]); };
    Params p;
    p.p1 = ((at(2) & 0x03u) << 16) | (at(3) << 8) | at(4);
    p.p2 = ((at(5) & 0x0Fu) << 16) | (at(6) << 8) | at(7);
    p.p3 = ((at(5) >> 4) << 16) | (at(0) << 8) | at(1);
    return p;
}

} // namespace

Si5351Model::Si5351Model(Gpio &port, double xtal_hz) : port_(port), decoder_(*this), xtal_hz_(xtal_hz)
{
    for (int n = 0; n < 8; ++n) regs_[reg_index(kClkControl + n)] = kClkPdn;
    regs_[kXtalLoad] = 0xD2;
    // The model keeps no time and drives nothing but SDA.
    decoder_.follow(port_, Gpio::ListenerKind::BusDevice);
}

int Si5351Model::pll_resets(int pll) const
{
    if (pll != 0 && pll != 1) throw std::out_of_range("no PLL " + std::to_string(pll));
    return pll_resets_[static_cast<std::size_t>(pll)];
}

// ------------------------------------------------------------------ the bus

void Si5351Model::on_start()
{
    // A start, repeated or not, ends whatever transfer was going on.
    state_ = State::Address;
    take_byte_ = false;
}

void Si5351Model::on_stop()
{
    state_ = State::Idle;
    take_byte_ = false;
}

void Si5351Model::on_scl_fall(int bit)
{
    if (bit == 8) {
        // The eight data bits are in: acknowledge now, or stay quiet.
        bool ack = false;
        if (listening_) {
            switch (state_) {
            case State::Address:
                ack = (decoder_.data_bits() >> 1) == kAddress;
                break;
            case State::RegisterAddress:
            case State::Data:
                ack = true;
                break;
            default:
                break; // not addressed, or the master acknowledges what it reads
            }
        }
        take_byte_ = ack;
        if (ack) {
            acking_ = true;
            drive_sda();
        }
    } else if (bit == 9 && acking_) {
        acking_ = false;
        drive_sda();
    }
    if (holding_ && hold_clocks_ > 0 && --hold_clocks_ == 0) release_sda();
}

void Si5351Model::on_byte(std::uint8_t value, bool)
{
    const bool take = take_byte_;
    take_byte_ = false;
    switch (state_) {
    case State::Address:
        state_ = !take ? State::Ignoring : (value & 1u) ? State::Reading : State::RegisterAddress;
        break;
    case State::RegisterAddress:
        if (take) {
            pointer_ = value;
            state_ = State::Data;
        }
        break;
    case State::Data:
        if (take) {
            store(pointer_, value);
            ++pointer_; // wraps at 255
        }
        break;
    default:
        break;
    }
}

void Si5351Model::store(int n, std::uint8_t value)
{
    if (n == 0) return; // device status: read-only
    if (n == kPllReset) {
        if (value & kPllAReset) ++pll_resets_[0];
        if (value & kPllBReset) ++pll_resets_[1];
        value = static_cast<std::uint8_t>(value & ~(kPllAReset | kPllBReset));
    }
    regs_[static_cast<std::size_t>(n)] = value;
    ++revision_;
    if (on_write_) on_write_(n, value);
}

void Si5351Model::drive_sda()
{
    const bool low = acking_ || holding_;
    if (low == sda_driven_) return;
    sda_driven_ = low;
    // Releasing hands the line back to the board's pull-up.
    port_.set_external(kSdaPin, low ? Gpio::External::DriveLow : Gpio::External::PullUp);
}

void Si5351Model::hold_sda_low(int clocks)
{
    if (clocks == 0) {
        release_sda();
        return;
    }
    holding_ = true;
    hold_clocks_ = clocks < 0 ? -1 : clocks;
    drive_sda();
}

void Si5351Model::release_sda()
{
    holding_ = false;
    hold_clocks_ = 0;
    drive_sda();
}

// ------------------------------------------------------------ frequencies

double Si5351Model::divider(int base, bool allow_divby4) const
{
    if (allow_divby4 && (regs_[reg_index(base + 2)] & kDivBy4) == kDivBy4) return 4.0;
    const Params p = params(regs_, base);
    if (p.p3 == 0) return 0.0;
    return (p.p1 + 512.0 + static_cast<double>(p.p2) / p.p3) / 128.0;
}

double Si5351Model::pll_hz(int pll) const
{
    if (pll != 0 && pll != 1) throw std::out_of_range("no PLL " + std::to_string(pll));
    // The Si5351A has no CLKIN: both PLLs run from the crystal.
    const double ratio = divider(pll == 0 ? kPllABase : kPllBBase, false);
    return xtal_hz_ * ratio;
}

bool Si5351Model::pll_in_range(int pll) const
{
    const double f = pll_hz(pll);
    return f >= 600e6 && f <= 900e6;
}

void Si5351Model::check_clk(int clk)
{
    if (clk < 0 || clk > 2) throw std::out_of_range("no output CLK" + std::to_string(clk));
}

double Si5351Model::multisynth_hz(int n) const
{
    check_clk(n);
    const double div = divider(kMultiSynthBase + 8 * n, true);
    if (div == 0.0) return 0.0;
    const int pll = (regs_[reg_index(kClkControl + n)] & kMsSrcPllB) ? 1 : 0;
    return pll_hz(pll) / div;
}

double Si5351Model::output_hz(int clk) const
{
    check_clk(clk);
    const std::uint8_t control = regs_[reg_index(kClkControl + clk)];
    if (control & kClkPdn) return 0.0;
    const std::uint8_t fanout = regs_[kFanoutEnable];
    double f = 0.0;
    switch ((control >> 2) & 3u) {
    case 0: // the crystal
        f = (fanout & kXoFanoutEn) ? xtal_hz_ : 0.0;
        break;
    case 1: // CLKIN: not bonded out on the Si5351A
        f = 0.0;
        break;
    case 2: // MultiSynth 0, shared through the fanout
        f = (fanout & kMsFanoutEn) ? multisynth_hz(0) : 0.0;
        break;
    default: // the output's own MultiSynth
        f = multisynth_hz(clk);
        break;
    }
    const unsigned r = (regs_[reg_index(kMultiSynthBase + 8 * clk + 2)] >> 4) & 7u;
    return f / static_cast<double>(1u << r);
}

bool Si5351Model::output_enabled(int clk) const
{
    check_clk(clk);
    return (regs_[kOutputEnable] & (1u << clk)) == 0;
}

} // namespace sim
