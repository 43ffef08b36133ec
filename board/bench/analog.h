// The analog path from the synthesizer to the ADC input PA0: output 1 goes
// through the device under test, output 0 is the local oscillator, and the
// mixer leaves their difference, the beat tone, on PA0 around mid-scale.
//
// PA0 in ADC counts, at a sample taken at time t:
//
//   v(t) = kMidScale + kThruAmplitude * |H(f1)| * sin(2 pi |f0 - f1| t + kPhaseOffset)
//          + noise,  rounded to the nearest count and clipped to 0..4095
//
// - f0, f1: the frequencies the synthesizer model produces on outputs 0 and
//   1 at that moment (Si5351Model::output_hz), so a plan whose fractions
//   leave a beat of 999.92 Hz gives 999.92 Hz. An output at 0 Hz (powered
//   down) or disabled (register 3) gives no tone at all.
// - H: the device under test at f1 (board/bench/dut.h).
// - t: virtual time in seconds from the board's start; the phase runs on
//   continuously, so the tone is coherent from sample to sample, and jumps
//   only where the beat frequency changes.
// - noise: white Gaussian noise of standard deviation `noise` counts, from
//   a 64-bit Mersenne twister with the given seed (Box-Muller), one value
//   drawn for every sample whatever the deviation: the same seed gives the
//   same sequence for the same samples.
//
// The numbers, and what the firmware's 256-sample Goertzel detector at
// 1 kHz (16 cycles in 256 samples at 16 kHz) makes of them:
//   kMidScale      2048 counts (half of the 12-bit range)
//   kThruAmplitude 1500 counts peak with a thru: |X|^2 = (256/2 * 1500)^2
//                  = 3.69e10 (105.7 dB above 1 count^2). Gains above
//                  +2.7 dB clip at the ADC's range.
//   kDefaultNoise  2 counts rms. White noise of sigma^2 (plus the 1/12
//                  count^2 its rounding adds) gives |X|^2 = 256 (sigma^2 + 1/12)
//                  on average: 1045 (30.2 dB), so the noise floor lies
//                  10 log10(64 * 1500^2 / (sigma^2 + 1/12)) = 75.5 dB below
//                  the thru level. Each reading of the floor scatters around
//                  that average (its power is exponentially distributed).
//                  With noise 0 nothing is random: an open reads exactly
//                  mid-scale, level 0, and a tone's rounding error repeats
//                  with the tone.
//
// Not modelled: the mixer's other products, a filter after it (a beat
// above 8 kHz folds back into the ADC's band), the outputs' levels against
// frequency, settling after a frequency change.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <random>

#include "board/bench/dut.h"
#include "board/bench/si5351.h"
#include "board/peripherals/adc.h"
#include "board/peripherals/scheduler.h"

namespace sim {

class AnalogFrontEnd final : public AnalogSource {
public:
    static constexpr double kMidScale = 2048;
    static constexpr double kThruAmplitude = 1500;
    static constexpr double kDefaultNoise = 2.0;
    static constexpr double kPhaseOffset = 0.7; // radians, at t = 0
    static constexpr int kAdcMax = 4095;

    // Frequency in Hz of synthesizer output `clk` (0 or 1), 0 when it is off.
    using Outputs = std::function<double(int clk)>;

    // Reads the outputs from `synth`, which must outlive the front end.
    AnalogFrontEnd(const Si5351Model &synth, std::unique_ptr<Dut> dut, double noise = kDefaultNoise,
                   std::uint64_t seed = 1);
    AnalogFrontEnd(Outputs outputs, std::unique_ptr<Dut> dut, double noise = kDefaultNoise, std::uint64_t seed = 1);

    // Never anything but a count from 0 to 4095. A device whose gain at
    // output 1's frequency is not a finite number of 0 or more (or so large
    // that the tone's amplitude is not finite) throws DutError naming the
    // gain and the frequency, here and in beat_hz(), amplitude() and
    // level_at().
    std::uint16_t sample(Cycles when) override;

    // The tone as the outputs are now: its frequency and peak amplitude in
    // counts (before clipping).
    double beat_hz() const;
    double amplitude() const;
    // PA0 at `when` without noise, rounding or clipping, in counts.
    double level_at(Cycles when) const;

    void set_dut(std::unique_ptr<Dut> dut);
    const Dut &dut() const { return *dut_; }
    // Standard deviation in counts; throws std::invalid_argument below 0 or
    // not finite.
    void set_noise(double counts);
    double noise() const { return noise_; }
    // Starts the noise sequence again from `seed`.
    void set_seed(std::uint64_t seed);
    std::uint64_t samples() const { return samples_; }

private:
    struct Tone {
        double f0 = -1, f1 = -1; // the outputs it was worked out for
        double beat_hz = 0, amplitude = 0;
    };
    // The outputs change only with the synthesizer's revision: a sample
    // every few microseconds need not ask for them again.
    const Tone &tone() const
    {
        if (synth_ != nullptr && tone_revision_ == synth_->revision()) return tone_;
        return updated_tone();
    }
    const Tone &updated_tone() const;
    double gaussian();

    Outputs outputs_;
    std::unique_ptr<Dut> dut_;
    double noise_ = kDefaultNoise;
    std::mt19937_64 rng_;
    double spare_ = 0;
    bool have_spare_ = false;
    mutable Tone tone_;
    // The synthesizer the outputs come from, when the front end reads one,
    // and its revision when tone_ was last found up to date.
    static constexpr std::uint64_t kNoRevision = ~std::uint64_t{0};
    const Si5351Model *synth_ = nullptr;
    mutable std::uint64_t tone_revision_ = kNoRevision;
    // The whole turns of the tone at a whole second, for level_at().
    struct WholeTurns {
        double beat_hz = -1;
        Cycles seconds = 0;
        double turns = 0;
    };
    mutable WholeTurns whole_turns_;
    std::uint64_t samples_ = 0;
};

} // namespace sim
