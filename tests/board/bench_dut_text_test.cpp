// The bench jobs' device texts: batches of crystals, and what is refused.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "board/bench/bench_dut_text.h"

namespace snt_test {
namespace {

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
}

} // namespace
} // namespace snt_test
