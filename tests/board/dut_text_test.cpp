// The --dut text: every kind of device, its parameters, frequencies with
// multipliers, and a one-line message for every mistake.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "board/bench/dut_text.h"
#include "decibels.h"
#include "shells/sim/input_files.h"
#include "temp_dir.h"

namespace snt_test {
namespace {

TEST(DutText, EveryKindAndItsParameters)
{
    EXPECT_EQ(sim::parse_dut("thru")->gain(1e6), 1.0);
    EXPECT_EQ(sim::parse_dut("THRU")->gain(1e6), 1.0) << "kinds are not case-sensitive";
    EXPECT_EQ(sim::parse_dut("open")->gain(1e6), 0.0);
    EXPECT_NEAR(sim::parse_dut("atten:6")->gain(1e6), std::pow(10, -6 / 20.0), 1e-12);
    EXPECT_NEAR(sim::parse_dut("atten:6dB")->gain(1e6), std::pow(10, -6 / 20.0), 1e-12);
    EXPECT_EQ(sim::parse_dut("atten:0")->gain(1e6), 1.0);
    EXPECT_NEAR(sim::parse_dut("lowpass:1M")->gain(2e6), 1 / std::sqrt(1 + 16.0), 1e-12) << "order 2 by default";
    EXPECT_NEAR(sim::parse_dut("lowpass:1M:5")->gain(2e6), 1 / std::sqrt(1 + 1024.0), 1e-12);
    EXPECT_NEAR(sim::parse_dut("highpass:1M:1")->gain(0.5e6), 1 / std::sqrt(5.0), 1e-12);
    EXPECT_NEAR(sim::parse_dut("Bandpass:10.7M:200k")->gain(10.7e6), 1.0, 1e-12);
    EXPECT_EQ(sim::parse_dut("notch:10.7M:200k")->gain(10.7e6), 0.0);
    EXPECT_GT(sim::parse_dut("crystal:10M:100k")->gain(10e6), 0.8);
}

TEST(DutText, FrequenciesTakeMultipliers)
{
    const auto f = [](const char *text) { return sim::parse_frequency(text, "f"); };
    EXPECT_EQ(f("1000"), 1000.0);
    EXPECT_EQ(f("455k"), 455e3);
    EXPECT_EQ(f("455K"), 455e3);
    EXPECT_DOUBLE_EQ(f("10.7M"), 10.7e6);
    EXPECT_EQ(f("1G"), 1e9);
    EXPECT_DOUBLE_EQ(f("1.2GHz"), 1.2e9);
    EXPECT_EQ(f("2.5kHz"), 2500.0);
    EXPECT_EQ(f("7hz"), 7.0);
    EXPECT_EQ(f("1e3"), 1000.0);
    EXPECT_EQ(f("2g"), 2e9) << "the multipliers snt takes";
    for (const char *bad : {"", "k", "10m", "abc", "1.2.3", "1 M", "-5", "0", "0k", "inf", "nan", "1e999", "+-1",
                            "0x10", "M1", "+3M", "1e308G"}) {
        EXPECT_THROW(f(bad), sim::DutError) << bad;
    }
    // A pair of bandpass values with multipliers on both.
    EXPECT_NEAR(db(sim::parse_dut("bandpass:455k:10k")->gain(455e3)), 0.0, 1e-12);
}

TEST(DutText, EveryMistakeHasAOneLineMessage)
{
    const TempDir folder("dut_text_test");
    const std::string &dir = folder.path();
    struct Case {
        std::string device, says;
    };
    const std::vector<Case> cases = {
        {"", "unknown device under test \"\"; expected thru, open, atten:DB"},
        {"cable", "unknown device under test \"cable\""},
        {"thru:1", "thru: expected thru, not \"thru:1\""},
        {"open:", "open: expected open"},
        {"atten", "atten: expected atten:DB"},
        {"atten:1:2", "atten: expected atten:DB"},
        {"atten:x", "atten: attenuation \"x\": not a number of decibels"},
        {"atten:-3", "atten: attenuation \"-3\": must be 0 dB or more"},
        {"lowpass", "lowpass: expected lowpass:FC[:ORDER]"},
        {"lowpass:1M:2:3", "lowpass: expected lowpass:FC[:ORDER]"},
        {"lowpass:abc", "lowpass: cut-off frequency \"abc\": not a number (a k, M or G may follow, e.g. 10.7M)"},
        {"lowpass:0", "lowpass: cut-off frequency \"0\": must be above 0 Hz"},
        {"lowpass:-1k", "lowpass: cut-off frequency \"-1k\": must be above 0 Hz"},
        {"lowpass:+3M", "lowpass: cut-off frequency \"+3M\": written without a sign (e.g. 10.7M)"},
        {"lowpass:1e308G", "lowpass: cut-off frequency \"1e308G\": too large"},
        {"lowpass:1M:0", "lowpass: order \"0\": must be a whole number from 1 to 10"},
        {"lowpass:1M:11", "lowpass: order \"11\": must be a whole number from 1 to 10"},
        {"lowpass:1M:2.5", "lowpass: order \"2.5\""},
        {"highpass:1M:x", "highpass: order \"x\""},
        {"highpass:", "highpass: cut-off frequency \"\": not a number"},
        {"bandpass:10M", "bandpass: expected bandpass:F0:BW"},
        {"bandpass:x:1k", "bandpass: centre frequency \"x\""},
        {"bandpass:10M:0", "bandpass: bandwidth \"0\": must be above 0 Hz"},
        {"bandpass:10M:20M", "bandpass: bandwidth \"20M\": must be below twice the centre frequency"},
        {"notch:1k:5k", "notch: bandwidth \"5k\": must be below twice the centre frequency"},
        {"notch:1k", "notch: expected notch:F0:BW"},
        {"crystal:10M", "crystal: expected crystal:FS:Q"},
        {"crystal:0:50k", "crystal: series resonance \"0\": must be above 0 Hz"},
        {"crystal:10M:0", "crystal: Q \"0\": must be above 0"},
        {"crystal:10M:many", "crystal: Q \"many\": not a number (a k, M or G may follow, e.g. 50k)"},
        {"touchstone", "touchstone: expected touchstone:FILE"},
        {"touchstone:", "touchstone: expected touchstone:FILE"},
        {"touchstone:/nonexistent/dir/f.s2p", "touchstone: /nonexistent/dir/f.s2p: cannot open it: No such file"},
        {"touchstone:" + dir, "cannot read it: Is a directory"},
        {"touchstone:" + (folder / "f.s1p"), "only two-port files (.s2p) are read"},
        {"lowpass:1\n2", "lowpass: cut-off frequency \"1?2\""},
    };
    for (const Case &c : cases) {
        try {
            sim::parse_dut(c.device, sim::read_touchstone_file); // files as snt-sim reads them
            ADD_FAILURE() << "accepted: " << c.device;
        } catch (const sim::DutError &e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.says), std::string::npos) << "for " << c.device << ": " << what;
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
    }
}

} // namespace
} // namespace snt_test
