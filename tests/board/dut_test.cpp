// The devices under test and their responses: band-pass, notch, Butterworth
// filters, the attenuator and the crystal.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "board/bench/dut_text.h"
#include "decibels.h"

namespace snt_test {
namespace {

TEST(DutResponse, BandPassAndNotch)
{
    const double f0 = 10.7e6, bw = 200e3;
    const auto bp = sim::parse_dut("bandpass:10.7M:200k");
    const auto notch = sim::parse_dut("notch:10.7M:200k");
    EXPECT_NEAR(db(bp->gain(f0)), 0, 1e-12);
    EXPECT_NEAR(db(bp->gain(f0 - bw / 2)), -3.0103, 0.05);
    EXPECT_NEAR(db(bp->gain(f0 + bw / 2)), -3.0103, 0.05);
    // The exact -3 dB points are BW apart, around f0 geometrically.
    const double lo = (std::sqrt(bw * bw + 4 * f0 * f0) - bw) / 2, hi = lo + bw;
    EXPECT_NEAR(lo * hi, f0 * f0, 1e-3 * f0);
    EXPECT_NEAR(db(bp->gain(lo)), -3.0103, 1e-4);
    EXPECT_NEAR(db(bp->gain(hi)), -3.0103, 1e-4);
    EXPECT_LT(db(bp->gain(2 * f0)), -38) << "Q 53.5: far off, the skirt is low";
    EXPECT_EQ(bp->gain(0), 0.0);

    EXPECT_EQ(notch->gain(f0), 0.0) << "the notch is infinitely deep at f0";
    EXPECT_LT(db(notch->gain(f0 + 500)), -40);
    EXPECT_NEAR(db(notch->gain(lo)), -3.0103, 1e-4);
    EXPECT_NEAR(db(notch->gain(hi)), -3.0103, 1e-4);
    EXPECT_NEAR(db(notch->gain(2 * f0)), 0, 0.01);
    EXPECT_EQ(notch->gain(0), 1.0);
    for (double f = 9e6; f < 12e6; f += 77e3) {
        ASSERT_NEAR(bp->gain(f) * bp->gain(f) + notch->gain(f) * notch->gain(f), 1.0, 1e-12) << "complements";
    }
}

TEST(DutResponse, ButterworthFiltersAndAttenuator)
{
    for (int order = 1; order <= 10; ++order) {
        const auto lp = sim::parse_dut("lowpass:2M:" + std::to_string(order));
        const auto hp = sim::parse_dut("highpass:2M:" + std::to_string(order));
        EXPECT_NEAR(db(lp->gain(2e6)), -3.0103, 1e-4) << order;
        EXPECT_NEAR(db(hp->gain(2e6)), -3.0103, 1e-4) << order;
        EXPECT_NEAR(db(lp->gain(20e6)), -20.0 * order, 0.05) << "20 dB a decade per order";
        EXPECT_NEAR(db(hp->gain(0.2e6)), -20.0 * order, 0.05);
        EXPECT_NEAR(db(lp->gain(0.2e6)), 0, 0.05);
        EXPECT_NEAR(db(hp->gain(20e6)), 0, 0.05);
    }
    EXPECT_EQ(sim::parse_dut("highpass:1k")->gain(0), 0.0);
    EXPECT_EQ(sim::parse_dut("lowpass:1k")->gain(0), 1.0);
    EXPECT_NEAR(sim::parse_dut("atten:20")->gain(5e6), 0.1, 1e-15);
    EXPECT_NEAR(db(sim::parse_dut("atten:73.5")->gain(5e6)), -73.5, 1e-9);
}

TEST(DutResponse, CrystalPeaksAtSeriesResonanceWithADipJustAbove)
{
    const double fs = 10e6, q = 100e3;
    const auto xtal = sim::parse_dut("crystal:10M:100k");
    // The expected parallel resonance from the motional capacitance.
    const double l1 = q * sim::kCrystalR1Ohms / (2 * kPi * fs);
    const double c1 = 1 / (std::pow(2 * kPi * fs, 2) * l1);
    const double fp = fs * std::sqrt(1 + c1 / sim::kCrystalC0Farads);
    EXPECT_NEAR(fp - fs, 9945, 10);

    double peak_f = 0, peak = 0;
    for (double f = fs - 2000; f <= fs + 2000; f += 1) {
        if (xtal->gain(f) > peak) peak = xtal->gain(f), peak_f = f;
    }
    EXPECT_NEAR(peak_f, fs, 5) << "the series peak";
    EXPECT_NEAR(db(peak), db(100.0 / 120.0), 0.05) << "R1 = 20 ohm against 2 x 50 ohm";
    EXPECT_LT(db(xtal->gain(fs + 5000)), -20) << "far outside the loaded bandwidth of about 600 Hz";

    double dip_f = 0, dip = 1;
    for (double f = fs + 100; f <= fs + 30000; f += 1) {
        if (xtal->gain(f) < dip) dip = xtal->gain(f), dip_f = f;
    }
    EXPECT_NEAR(dip_f, fp, 5) << "the parallel resonance";
    EXPECT_LT(db(dip), -60);
    EXPECT_LT(db(xtal->gain(fs - 100e3)), -25) << "away from resonance only C0 passes";
    EXPECT_EQ(xtal->gain(0), 0.0);
}

} // namespace
} // namespace snt_test
