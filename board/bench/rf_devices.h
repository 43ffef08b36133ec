// Devices for the bench jobs beyond filters: amplifiers that compress,
// chains of devices, a return-loss bridge in front of a one-port load, and
// a batch of crystals to be measured one after another. Like the models in
// dut.h each gives |S21| from output 1 to the mixer; bench_dut_text.h makes
// them from device texts.
#pragma once

#include <complex>
#include <cstddef>
#include <memory>
#include <vector>

#include "board/bench/dut.h"

namespace sim {

// What the synthesizer's output 1 delivers into the device: 0 dBm (1 mW
// into 50 ohm). A thru passes it on unchanged and reads as the front end's
// kThruAmplitude (1500 counts), so the model's thru level stays what it
// was; only devices that compress care about the power itself.
constexpr double kStimulusDbm = 0.0;
constexpr double kStimulusMilliwatts = 1.0;

// A device whose gain depends on how hard it is driven. gain(hz) is the
// gain with the synthesizer's own output at its input.
class DrivenDut : public Dut {
public:
    // |S21| at `hz` with `input_mw` milliwatts of the tone at the input.
    virtual double gain_driven(double hz, double input_mw) const = 0;
    double gain(double hz) const final { return gain_driven(hz, kStimulusMilliwatts); }
};

// An amplifier of `gain_db` that compresses towards `p1db_dbm`, the output
// power at which its gain has fallen by 1 dB (a Rapp model of smoothness 2:
// output voltage G v / (1 + (G v / Vsat)^4)^(1/4), Vsat set so that the
// gain is 1 dB down at that output). Without `p1db_dbm` (nullptr) it never
// compresses.
std::unique_ptr<DrivenDut> make_amplifier(double gain_db, const double *p1db_dbm = nullptr);

// Devices one after another: the product of their gains, each driven by
// what the ones before it leave of the stimulus (so an attenuator ahead of
// an amplifier keeps it out of compression). At least one stage.
std::unique_ptr<DrivenDut> make_cascade(std::vector<std::unique_ptr<Dut>> stages);

// A one-port load as a bridge sees it: its reflection coefficient against
// 50 ohm.
class OnePort {
public:
    virtual ~OnePort() = default;
    virtual std::complex<double> reflection(double hz) const = 0;
};

// An open (reflection 1), a short (-1), a resistance, and a series R-L-C,
// R + j w L + 1 / (j w C) (a simple antenna, resonating at
// 1 / (2 pi sqrt(L C))). A capacitance of 0 leaves the capacitor out
// (a short in its place).
std::unique_ptr<OnePort> make_open();
std::unique_ptr<OnePort> make_short();
std::unique_ptr<OnePort> make_resistor(double ohms);
std::unique_ptr<OnePort> make_series_rlc(double ohms, double henries, double farads);

// A return-loss bridge with its test port on `load`: the detector gets
// kBridgeLoss x |reflection + kBridgeDirectivity|. The directivity error, a
// constant leak 40 dB below an open's reflection and in quadrature with the
// source, lets a matched load read 40 dB of return loss, and adds to any
// other load's reflection in power (|G|^2 + 1e-4 for a real G): a 75 ohm
// resistor reads SWR 1.50 against an open reference.
constexpr double kBridgeLoss = 0.5; // -6 dB with the port open
const std::complex<double> kBridgeDirectivity{0.0, 0.01};
std::unique_ptr<Dut> make_bridge(std::unique_ptr<OnePort> load);

// Crystals for a batch, each as make_crystal(fs, q) makes it: `select`
// puts crystal `index` (from 0) into the fixture. The front end keeps the
// tone worked out for the frequencies it last saw, so whoever changes the
// crystal hands the front end a fresh device (AnalogFrontEnd::set_dut with
// make()) rather than changing one it holds.
class CrystalBatch {
public:
    CrystalBatch(std::vector<double> fs, double q);
    std::size_t size() const { return fs_.size(); }
    double fs(std::size_t index) const { return fs_.at(index); }
    double q() const { return q_; }
    std::unique_ptr<Dut> make(std::size_t index) const { return make_crystal(fs(index), q_); }

private:
    std::vector<double> fs_;
    double q_;
};

} // namespace sim
