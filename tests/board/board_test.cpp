// The board as a whole: its models wired together as the firmware finds
// them, and the options that choose the device under test and the noise.
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "board/bench/analog.h"
#include "board/bench/dut.h"
#include "board/peripherals/adc.h"
#include "board/peripherals/tim.h"
#include "board_fixture.h"

namespace snt_test {
namespace {

using sim::Adc;
using sim::AnalogFrontEnd;
using sim::Timer;

class BoardAnalog : public BoardTest {};

TEST_F(BoardAnalog, Tim3TriggersTheAdcOnTheToneOfTheSynthesizer)
{
    boot();
    sim::Timer &tim = board.tim3();
    EXPECT_TRUE(tim.counting());
    EXPECT_EQ(tim.period_cycles(), 500u);
    EXPECT_EQ(tim.read(Timer::kCr2, 4) & Timer::kMmsMask, Timer::kMmsUpdate);
    EXPECT_EQ(board.inspect(sim::kTim3Base + Timer::kArr), 499u) << "mapped at TIM3's address";
    EXPECT_EQ(board.adc().reg(Adc::kCfgr1), 0x4C1u);

    // The firmware's start-up puts output 1 at 3 MHz and output 0 1 kHz away.
    EXPECT_NEAR(board.si5351().output_hz(1), 3e6, 1);
    EXPECT_NEAR(board.analog().beat_hz(), 1000, 0.5);
    EXPECT_DOUBLE_EQ(board.analog().amplitude(), 1500);
    // A crystal off by 4 % moves every frequency, and so the beat, with it.
    board.si5351().set_xtal_hz(26e6);
    EXPECT_NEAR(board.analog().beat_hz(), 1040, 0.5);
    board.si5351().set_xtal_hz(25e6);
    EXPECT_NEAR(board.analog().beat_hz(), 1000, 0.5);

    // Started, the ADC converts once for each of TIM3's updates.
    if (!(board.adc().reg(Adc::kCr) & Adc::kAdstart)) board.poke(sim::kAdcBase + Adc::kCr, Adc::kAdstart);
    const std::uint64_t conversions = board.adc().conversions(), updates = tim.updates();
    const std::uint64_t samples = board.analog().samples();
    board.run_for(ms(10));
    EXPECT_EQ(tim.updates() - updates, 160u);
    EXPECT_EQ(board.adc().conversions() - conversions, 160u);
    EXPECT_EQ(board.analog().samples() - samples, 160u);
    EXPECT_EQ(board.adc().overruns(), 0u) << "the interrupt handler reads every result";
    const std::uint32_t dr = board.adc().reg(Adc::kDr);
    EXPECT_GE(dr, 2048u - 1520);
    EXPECT_LE(dr, 2048u + 1520);
}

TEST(BoardOptions, DeviceNoiseAndSeedReachTheFrontEnd)
{
    sim::BoardOptions options;
    EXPECT_EQ(options.dut, "thru");
    EXPECT_EQ(options.noise, AnalogFrontEnd::kDefaultNoise);
    EXPECT_EQ(options.seed, 1u);
    options.dut = "atten:20";
    options.noise = 0.5;
    options.seed = 42;
    sim::SimBoard board(options);
    EXPECT_NEAR(board.analog().dut().gain(1e6), 0.1, 1e-12);
    EXPECT_EQ(board.analog().noise(), 0.5);

    options.dut = "bandpass:1M";
    EXPECT_THROW(sim::SimBoard{options}, sim::DutError);
    options.dut = "thru";
    options.noise = -1;
    EXPECT_THROW(sim::SimBoard{options}, std::invalid_argument);
}

} // namespace
} // namespace snt_test
