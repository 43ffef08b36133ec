// Devices under test: what sits between the synthesizer's output 1 and the
// mixer, as the magnitude of its voltage transfer (|S21|) against frequency.
// The models are here; dut_text.h makes them from the `--dut` texts and
// touchstone.h from measured files.
#pragma once

#include <memory>
#include <stdexcept>
#include <vector>

namespace sim {

// A device text or file that cannot be used; the message is one line.
class DutError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Dut {
public:
    virtual ~Dut() = default;
    // |S21| at `hz` as a voltage ratio.
    virtual double gain(double hz) const = 0;
};

// The crystal's fixed parts and the system's impedance.
constexpr double kCrystalR1Ohms = 20.0;
constexpr double kCrystalC0Farads = 4e-12;
constexpr double kSystemOhms = 50.0;

// The largest gain a device may have (far beyond the ADC's range, which
// clips above +2.7 dB).
constexpr double kMaxGainDb = 100.0;
constexpr double kMaxGain = 1e5; // +100 dB

// The same gain at every frequency: a cable (1), nothing connected (0), an
// attenuator.
std::unique_ptr<Dut> make_constant(double gain);

// Butterworth low-pass, 1 / sqrt(1 + (f/FC)^(2 ORDER)), or high-pass,
// 1 / sqrt(1 + (FC/f)^(2 ORDER)); -3 dB at FC.
std::unique_ptr<Dut> make_butterworth(double fc, int order, bool high);

// A second-order resonator with Q = F0 / BW as a band-pass,
// 1 / sqrt(1 + Q^2 (f/F0 - F0/f)^2), whose -3 dB points are BW apart; or its
// complement as a notch, |Q (f/F0 - F0/f)| / sqrt(1 + Q^2 (f/F0 - F0/f)^2),
// 0 at F0 and -3 dB at the band-pass's -3 dB points.
std::unique_ptr<Dut> make_resonator(double f0, double bw, bool notch);

// A quartz crystal in series between a 50 ohm source and a 50 ohm load:
// |2 * 50 / (2 * 50 + Z)|, Z the motional arm (R1 = 20 ohm, L1 and C1
// resonating at FS with unloaded Q = 2 pi FS L1 / R1) in parallel with
// C0 = 4 pF. The response peaks at FS (-1.6 dB) and has a deep dip at the
// parallel resonance, FS * sqrt(1 + C1/C0), just above it.
std::unique_ptr<Dut> make_crystal(double fs, double q);

// Points (increasing frequencies, gains in dB) interpolated linearly in dB
// against frequency; below the first point and above the last the gain is
// that point's.
std::unique_ptr<Dut> make_table(std::vector<double> hz, std::vector<double> db);

} // namespace sim
