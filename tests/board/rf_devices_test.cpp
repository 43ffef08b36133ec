// The bench jobs' devices against their formulas: amplifiers and their
// compression, cascades, the bridge and its loads, one-port files, batches
// of crystals, and the texts that name them.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>

#include "board/bench/bench_dut_text.h"
#include "board/bench/one_port_file.h"
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

TEST(OnePortFile, ReadsEachFormatAndRenormalises)
{
    const auto load = [](const std::string &text) { return sim::parse_one_port(text, "test.s1p"); };
    // The same 75 ohm load (reflection 0.2 at 50 ohm) written three ways.
    const auto ma = load("! a resistor\n# MHz S MA R 50\n1 0.2 0\n2 0.2 0\n");
    const auto dbf = load("# khz s db\n1000 -13.979400086720377 0\n2000 -13.979400086720377 0\n");
    const auto ri = load("#Hz S RI\n1e6 0.2\n 0\n2e6 0.2 0 ! wrapped above\n");
    const auto z75 = load("# MHz S RI R 75\n1 0 0\n2 0 0\n");
    for (const auto *p : {&ma, &dbf, &ri, &z75}) {
        EXPECT_NEAR(std::abs((*p)->reflection(1.5e6) - cd(0.2, 0)), 0, 1e-12);
    }
    const auto angle = load("# MHz S MA\n1 0.5 90\n3 0.5 -90\n");
    EXPECT_NEAR(std::abs(angle->reflection(1e6) - cd(0, 0.5)), 0, 1e-12);
    EXPECT_NEAR(std::abs(angle->reflection(2e6)), 0, 1e-12) << "real and imaginary parts interpolated";
    EXPECT_NEAR(std::abs(angle->reflection(5e6) - cd(0, -0.5)), 0, 1e-12) << "held beyond the last point";

    std::string file = "# MHz S MA\n1 0.2 0\n";
    const auto dut = sim::parse_bench_dut("bridge:ant.S1P", [&](const std::string &path) {
        EXPECT_EQ(path, "ant.S1P");
        return file;
    });
    EXPECT_NEAR(db(dut->gain(1e6)), bridge_db(0.2), 1e-9);
}

TEST(CrystalBatch, ListsItsCrystals)
{
    const sim::CrystalBatch batch = sim::parse_crystal_batch("crystals:10M,10.00012M,9.99995MHz:50k");
    ASSERT_EQ(batch.size(), 3u);
    EXPECT_EQ(batch.fs(1), 10.00012e6);
    EXPECT_EQ(batch.q(), 50e3);
    EXPECT_EQ(batch.make(2)->gain(9.99995e6), sim::make_crystal(9.99995e6, 50e3)->gain(9.99995e6));
    EXPECT_EQ(sim::parse_bench_dut("crystals:10M,10.00012M:50k")->gain(10e6), batch.make(0)->gain(10e6));
}

TEST(BenchDutText, RefusesWhatItCannotUse)
{
    const std::string long_line = "# MHz S MA\n" + std::string(5000, ' ') + "1 0 0\n";
    const std::pair<std::string, std::string> cases[] = {
        {"amplifier", "expected amplifier:GAIN_DB[:P1DB_DBM]"},
        {"amplifier:x", "gain \"x\": not a number of decibels"},
        {"amplifier:20:10:3", "expected amplifier:GAIN_DB"},
        {"amplifier:101", "must be from -100 to +100 dB"},
        {"amplifier:20:-1e308dBm", "must be from -100 to +100 dBm"},
        {"amplifier:60+amplifier:60", "the model takes finite gains up to +100 dB"},
        {"bridge:", "expected bridge:LOAD"},
        {"bridge:foo", "unknown load \"foo\""},
        {"bridge:-5", "unknown load \"-5\""},
        {"bridge:rlc:50:1u", "expected bridge:rlc:R:L:C"},
        {"bridge:rlc:50:x:1p", "inductance \"x\""},
        {"bridge:x.s1p", "no files can be read here"},
        {"atten:20+", "a device is missing next to a '+'"},
        {"+atten:20", "a device is missing next to a '+'"},
        {"atten:20+foo", "atten: attenuation \"20+foo\""},
        {"crystals:10M:50k:3", "a whole number from 1 to 1"},
        {"crystals:10M,x:50k", "crystals: series resonance \"x\""},
        {"crystals:10M", "expected crystals:FS,FS,...:Q[:N]"},
        {"touchstone:/nonexistent/a+b.s2p", "/nonexistent/a+b.s2p"},
    };
    for (const auto &[device, message] : cases) {
        try {
            sim::parse_bench_dut(device);
            ADD_FAILURE() << device << " was taken";
        } catch (const sim::DutError &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << device << ": " << e.what();
        }
    }
    const std::pair<std::string, std::string> files[] = {
        {long_line, "line 2: longer than 4096 characters"},
        {"# MHz S MA\n2 0 0\n1 0 0\n", "line 3: frequencies must increase"},
        {"# MHz S MA\n1 0\n", "the last record has 2 of its 3 numbers"},
        {"# MHz Z MA\n1 0 0\n", "only S parameters are read"},
        {"[Version] 2.0\n", "keywords of Touchstone 2 are not read"},
        {"# MHz S MA\n1 1e6 0\n", "is above the +100 dB"},
        {"! nothing\n", "no data"},
    };
    for (const auto &[text, message] : files) {
        try {
            sim::parse_one_port(text, "bridge: a.s1p");
            ADD_FAILURE() << text << " was taken";
        } catch (const sim::DutError &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

} // namespace
} // namespace snt_test
