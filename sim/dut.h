// Devices under test: what sits between the synthesizer's output 1 and the
// mixer, as the magnitude of its voltage transfer (|S21|) against frequency.
//
// A device is named by a short text, as `snt-sim --dut` takes it:
//
//   thru                  a cable: gain 1 (the default)
//   open                  nothing connected: gain 0
//   atten:DB              an attenuator of DB decibels (0 or more): 10^(-DB/20)
//   lowpass:FC[:ORDER]    Butterworth low-pass, 1 / sqrt(1 + (f/FC)^(2 ORDER))
//   highpass:FC[:ORDER]   Butterworth high-pass, 1 / sqrt(1 + (FC/f)^(2 ORDER));
//                         ORDER 1..10, 2 when left out; -3 dB at FC
//   bandpass:F0:BW        a second-order resonator with Q = F0 / BW:
//                         1 / sqrt(1 + Q^2 (f/F0 - F0/f)^2); its -3 dB points
//                         are BW apart (and lie near F0 +- BW/2 when BW is
//                         small against F0); BW must be below 2 F0
//   notch:F0:BW           its complement, |Q (f/F0 - F0/f)| / sqrt(1 + Q^2 (f/F0 - F0/f)^2):
//                         0 at F0, -3 dB at the band-pass's -3 dB points
//   crystal:FS:Q          a quartz crystal in series between a 50 ohm source
//                         and a 50 ohm load: |2 * 50 / (2 * 50 + Z)|, Z the
//                         motional arm (R1 = 20 ohm, L1 and C1 resonating at
//                         FS with unloaded Q = 2 pi FS L1 / R1) in parallel
//                         with C0 = 4 pF. The response peaks at FS (-1.6 dB)
//                         and has a deep dip at the parallel resonance,
//                         FS * sqrt(1 + C1/C0), just above it
//   touchstone:FILE       |S21| from a Touchstone (version 1) two-port file
//
// Frequencies (and Q) are plain numbers or carry a k, M or G multiplier,
// optionally followed by "Hz": 1000, 455k, 10.7M, 1.2GHz. The kind is not
// case-sensitive.
//
// Touchstone files
// - `!` starts a comment, to the end of the line.
// - The option line `# <unit> <parameter> <format> R <z0>`, its fields in any
//   order and any case, each optional: unit Hz, kHz, MHz or GHz (GHz when
//   left out), parameter S (the only one read), format MA (magnitude and
//   angle, the default), DB (decibels and angle) or RI (real and imaginary),
//   R and the reference impedance (kept as it is: |S21| is used without
//   renormalising to 50 ohm). Only the first option line before the data
//   counts; any later one is ignored.
// - Data: records of 9 numbers (frequency, then S11, S21, S12, S22 as
//   pairs), one a line or wrapped over several. Frequencies must increase.
//   A record starting a line with a frequency not above the previous one
//   begins the noise parameters (5 numbers a line), which are skipped.
// - The file name may end in .s2p (any case) or have no such ending; other
//   port counts (.s1p, .s3p, ...) are refused.
// - Between points the gain is interpolated linearly in dB against
//   frequency; below the first point and above the last it is that point's
//   value. A magnitude of 0 counts as -300 dB.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace sim {

// A device text that cannot be used; the message is one line.
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

// The device named by `device` (one of the texts above); throws DutError.
std::unique_ptr<Dut> parse_dut(const std::string &device);

// A frequency (or Q) as device texts write it, e.g. "10.7M"; throws DutError
// for anything else, naming `what`.
double parse_frequency(const std::string &text, const std::string &what);

// One line listing the kinds, for messages and help texts.
const char *dut_kinds();

} // namespace sim
