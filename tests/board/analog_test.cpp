// The analog front end: the beat tone from the synthesizer's two outputs
// through the device under test, its phase in virtual time, and its noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "board/bench/analog.h"
#include "board/bench/dut_text.h"
#include "board_fixture.h"
#include "decibels.h"

namespace snt_test {
namespace {

using sim::AnalogFrontEnd;

// Outputs set by the test.
struct FakeSynth {
    double f0 = 3'001'000, f1 = 3'000'000;
    AnalogFrontEnd::Outputs outputs()
    {
        return [this](int clk) { return clk == 0 ? f0 : f1; };
    }
};

// 256 samples at 16 kHz from `t0`, as the firmware's detector takes them.
std::vector<double> block(AnalogFrontEnd &fe, Cycles t0, int n = 256)
{
    std::vector<double> v;
    v.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v.push_back(fe.sample(t0 + Cycles(i) * 500));
    return v;
}

// |X|^2 at 1 kHz over a 256-sample block: the detector's level.
double power_at_1khz(const std::vector<double> &x)
{
    double re = 0, im = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double w = 2 * kPi * 1000.0 * static_cast<double>(i) / 16000.0;
        re += x[i] * std::cos(w);
        im -= x[i] * std::sin(w);
    }
    return re * re + im * im;
}

TEST(AnalogFrontEnd, ThruGivesA1500CountToneAroundMidScale)
{
    FakeSynth synth;
    AnalogFrontEnd fe(synth.outputs(), sim::parse_dut("thru"), 0.0);
    EXPECT_DOUBLE_EQ(fe.beat_hz(), 1000.0);
    EXPECT_DOUBLE_EQ(fe.amplitude(), 1500.0);
    // One period of the beat, a sample every microsecond.
    int lo = 4096, hi = -1;
    for (Cycles t = 0; t < sim::kCoreHz / 1000; t += 8) {
        const int v = fe.sample(t);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    EXPECT_EQ(hi, 2048 + 1500);
    EXPECT_EQ(lo, 2048 - 1500);

    // The amplitude at the detector's 1 kHz from 16 kHz samples, with noise.
    fe.set_noise(AnalogFrontEnd::kDefaultNoise);
    const double amplitude = 2 * std::sqrt(power_at_1khz(block(fe, 12345))) / 256;
    EXPECT_NEAR(amplitude, 1500, 1.0);
}

TEST(AnalogFrontEnd, PhaseRunsOnInVirtualTimeAtTheRealBeat)
{
    FakeSynth synth;
    synth.f0 = 10'000'999.92; // a plan whose fractions miss 1 kHz a little
    synth.f1 = 10'000'000;
    AnalogFrontEnd fe(synth.outputs(), sim::parse_dut("thru"), 0.0);
    EXPECT_NEAR(fe.beat_hz(), 999.92, 1e-6);
    for (const Cycles t : {Cycles(0), Cycles(123'457), Cycles(8'000'000) * 1000 + 77}) {
        const double seconds = static_cast<double>(t) / sim::kCoreHz;
        const double expected =
            2048 + 1500 * std::sin(2 * kPi * std::fmod(fe.beat_hz() * seconds, 1.0) + AnalogFrontEnd::kPhaseOffset);
        EXPECT_NEAR(fe.level_at(t), expected, 1e-3) << t;
    }
    // Below the output: the same beat.
    synth.f0 = 9'999'000;
    EXPECT_DOUBLE_EQ(fe.beat_hz(), 1000.0);
}

TEST(AnalogFrontEnd, NoToneWhenEitherOutputIsOff)
{
    FakeSynth synth;
    AnalogFrontEnd fe(synth.outputs(), sim::parse_dut("thru"), 0.0);
    for (double *f : {&synth.f0, &synth.f1}) {
        const double keep = *f;
        *f = 0;
        EXPECT_EQ(fe.amplitude(), 0.0);
        for (Cycles t = 0; t < 8000; t += 37) ASSERT_EQ(fe.sample(t), 2048) << t;
        *f = keep;
    }
    EXPECT_EQ(fe.amplitude(), 1500.0);
}

TEST(AnalogFrontEnd, TheDeviceScalesTheToneAtOutputOnesFrequency)
{
    FakeSynth synth;
    synth.f1 = 10e6;
    synth.f0 = 10e6 + 1000;
    AnalogFrontEnd fe(synth.outputs(), sim::parse_dut("lowpass:10M"), 0.0);
    EXPECT_NEAR(fe.amplitude(), 1500 / std::sqrt(2.0), 1e-9);
    fe.set_dut(sim::parse_dut("atten:20"));
    EXPECT_NEAR(fe.amplitude(), 150, 1e-9);

    struct Amplifier : sim::Dut {
        double gain(double) const override { return 2; }
    };
    fe.set_dut(std::make_unique<Amplifier>());
    int lo = 4096, hi = -1;
    for (Cycles t = 0; t < 8000; t += 8) {
        lo = std::min<int>(lo, fe.sample(t));
        hi = std::max<int>(hi, fe.sample(t));
    }
    EXPECT_EQ(lo, 0) << "clipped at the ADC's range";
    EXPECT_EQ(hi, 4095);
}

TEST(AnalogFrontEnd, NoiseIsSeededAndHasTheGivenDeviation)
{
    FakeSynth synth;
    AnalogFrontEnd a(synth.outputs(), sim::parse_dut("thru"), 2.0, 7);
    AnalogFrontEnd b(synth.outputs(), sim::parse_dut("thru"), 2.0, 7);
    AnalogFrontEnd c(synth.outputs(), sim::parse_dut("thru"), 2.0, 8);
    const std::vector<double> xa = block(a, 0, 1000), xb = block(b, 0, 1000), xc = block(c, 0, 1000);
    EXPECT_EQ(xa, xb) << "the same seed, the same samples";
    EXPECT_NE(xa, xc);
    a.set_seed(7);
    EXPECT_EQ(block(a, 0, 1000), xa) << "set_seed starts the sequence again";

    synth.f1 = 0; // no tone: what is left is noise
    for (const double sigma : {0.0, 1.0, 5.0, 20.0}) {
        AnalogFrontEnd fe(synth.outputs(), sim::parse_dut("thru"), sigma, 99);
        const std::vector<double> x = block(fe, 0, 40000);
        double mean = 0, var = 0;
        for (double v : x) mean += v;
        mean /= static_cast<double>(x.size());
        for (double v : x) var += (v - mean) * (v - mean);
        var /= static_cast<double>(x.size() - 1);
        EXPECT_NEAR(mean, 2048, 0.02 + 3 * sigma / 200) << sigma;
        if (sigma == 0) {
            EXPECT_EQ(var, 0.0);
        } else {
            // Rounding adds 1/12 count^2.
            EXPECT_NEAR(std::sqrt(var), std::sqrt(sigma * sigma + 1.0 / 12), 0.02 * sigma) << sigma;
        }
    }
    EXPECT_THROW(a.set_noise(-1), std::invalid_argument);
    EXPECT_THROW(a.set_noise(std::numeric_limits<double>::infinity()), std::invalid_argument);
}

TEST(AnalogFrontEnd, DetectorNoiseFloorLiesAbout75DbBelowThru)
{
    FakeSynth synth;
    AnalogFrontEnd thru(synth.outputs(), sim::parse_dut("thru"));
    AnalogFrontEnd open(synth.outputs(), sim::parse_dut("open"));
    EXPECT_EQ(thru.noise(), 2.0);
    const double level = power_at_1khz(block(thru, 0));
    EXPECT_NEAR(10 * std::log10(level), 10 * std::log10(128.0 * 128 * 1500 * 1500), 0.05);
    double floor = 0;
    const int blocks = 400;
    for (int i = 0; i < blocks; ++i) floor += power_at_1khz(block(open, Cycles(i) * 128'000));
    floor /= blocks;
    EXPECT_NEAR(floor, 256 * (4 + 1.0 / 12), 256 * 4.1 * 0.15);
    const double below = 10 * std::log10(level / floor);
    EXPECT_NEAR(below, 75.5, 0.7);
}

} // namespace
} // namespace snt_test
