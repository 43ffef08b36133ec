// The bench jobs' devices against their formulas: amplifiers and their
// compression, cascades, the bridge and its loads, one-port files, batches
// of crystals, and the texts that name them.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>

#include "board/bench/bench_dut_text.h"
#include "decibels.h"

namespace snt_test {
namespace {

using cd = std::complex<double>;

// The Rapp model of smoothness 2 worked out afresh: the gain of an
// amplifier of `gain_db` and output 1 dB point `p1db_dbm` driven by `in_dbm`.
double rapp_db(double gain_db, double p1db_dbm, double in_dbm)
{
    const double g = std::pow(10.0, gain_db / 20);
    const double x = std::pow(std::pow(10.0, 0.2) - 1, 0.25); // G v / Vsat at the 1 dB point
    const double vsat = std::pow(10.0, p1db_dbm / 20) * std::pow(10.0, 0.05) / x;
    const double u = g * std::pow(10.0, in_dbm / 20) / vsat;
    return db(g / std::pow(1 + std::pow(u, 4), 0.25));
}

// What the bridge passes for a load of reflection `g`.
double bridge_db(cd g) { return db(0.5 * std::abs(g + cd(0, 0.01))); }

cd reflection(cd z) { return (z - 50.0) / (z + 50.0); }

struct Response {
    const char *device;
    double hz;
    double expected_db;
};

class DeviceResponse : public ::testing::TestWithParam<Response> {};

TEST_P(DeviceResponse, MatchesItsFormula)
{
    const Response r = GetParam();
    EXPECT_NEAR(db(sim::parse_bench_dut(r.device)->gain(r.hz)), r.expected_db, 1e-9) << r.device << " at " << r.hz;
}

const double kW = 2 * kPi * 20e6; // 2 pi f at 20 MHz, twice the antenna's resonance

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceResponse,
    ::testing::Values(
        Response{"amplifier:20", 5e6, 20}, Response{"amplifier:-3dB", 5e6, -3},
        Response{"amplifier:20:10", 5e6, rapp_db(20, 10, 0)}, Response{"atten:20+amplifier:20", 7e6, 0},
        Response{"atten:30+amplifier:20:10", 7e6, -30 + rapp_db(20, 10, -30)},
        Response{"amplifier:20:10+atten:30", 7e6, rapp_db(20, 10, 0) - 30},
        Response{"amplifier:10:20+amplifier:10:10", 7e6, rapp_db(10, 20, 0) + rapp_db(10, 10, rapp_db(10, 20, 0))},
        Response{"lowpass:10M:5+atten:6", 10e6, -3.010299956639812 - 6}, Response{"bridge:open", 3e6, bridge_db(1)},
        Response{"bridge:short", 3e6, bridge_db(-1)}, Response{"bridge:50", 3e6, bridge_db(0)},
        Response{"bridge:75ohm", 3e6, bridge_db(0.2)}, Response{"bridge:1k", 3e6, bridge_db(reflection(1000))},
        Response{"bridge:rlc:50:2.5uH:101.32118364233778p", 10e6, bridge_db(0)}, // resonant at 10 MHz
        Response{"bridge:rlc:50:2.5u:101.32118364233778pF", 20e6,
                 bridge_db(reflection(cd(50, kW * 2.5e-6 - 1 / (kW * 101.32118364233778e-12))))},
        Response{"bridge:rlc:10:1u:0", 20e6, bridge_db(reflection(cd(10, kW * 1e-6)))},
        Response{"crystals:10M,10.001M:50k:2", 10.001e6, db(sim::make_crystal(10.001e6, 50e3)->gain(10.001e6))}));

TEST(Amplifier, CompressesByOneDecibelAtItsCompressionPoint)
{
    const double p1db = 10;
    const auto amp = sim::make_amplifier(20, &p1db);
    // Output at the 1 dB point: 10 dBm from -9 dBm in, 19 dB of gain.
    EXPECT_NEAR(db(amp->gain_driven(1e6, std::pow(10.0, -0.9))), 19, 1e-9);
    EXPECT_NEAR(db(amp->gain_driven(1e6, 1e-6)), 20, 1e-3) << "far below it, the small-signal gain";
    // Driven 9 dB past it the output nears saturation, P1dB + 1 dB - 20 log10 x.
    const double saturation = p1db + 1 - 20 * std::log10(std::pow(std::pow(10.0, 0.2) - 1, 0.25));
    const double out = db(amp->gain_driven(1e6, 1));
    EXPECT_LT(out, saturation);
    EXPECT_GT(out, saturation - 0.2);
    EXPECT_EQ(amp->gain(1e6), amp->gain_driven(1e6, sim::kStimulusMilliwatts));
}

TEST(Bridge, SeventyFiveOhmsReadSwrOnePointFiveAgainstAnOpen)
{
    const double open = sim::parse_bench_dut("bridge:open")->gain(10e6);
    const double g = sim::parse_bench_dut("bridge:75")->gain(10e6) / open;
    const double swr = (1 + g) / (1 - g);
    EXPECT_EQ(std::lround(swr * 100), 150) << swr;
    EXPECT_NEAR(db(sim::parse_bench_dut("bridge:50")->gain(10e6) / open), -40, 0.01) << "the directivity";
}

} // namespace
} // namespace snt_test
