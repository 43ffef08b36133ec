// TIM3 on its own: the time base, its update events and the trigger output
// that starts the ADC's conversions.
#include <gtest/gtest.h>

#include <vector>

#include "board/peripherals/scheduler.h"
#include "board/peripherals/tim.h"
#include "board_fixture.h"
#include "model_probes.h"

namespace snt_test {
namespace {

using sim::Timer;

class TimerModel : public ::testing::Test {
protected:
    sim::Scheduler sched;
    IrqProbe irq;
    Timer tim{"TIM3", sched, irq, sim::kTim3Irq};
    std::vector<Cycles> pulses;

    void SetUp() override
    {
        tim.reset();
        tim.on_trgo([this] { pulses.push_back(sched.now()); });
    }
    // What the firmware's MX_TIM3_Init and LL_TIM_EnableCounter write.
    void firmware_setup()
    {
        tim.write(Timer::kCr1, 0, 4);
        tim.write(Timer::kArr, 499, 4);
        tim.write(Timer::kPsc, 0, 4);
        tim.write(Timer::kEgr, Timer::kUg, 4);
        tim.write(Timer::kCr2, Timer::kMmsUpdate, 4);
        tim.write(Timer::kCr1, Timer::kCen, 4);
    }
};

TEST_F(TimerModel, FirmwareSettingsGiveOneTriggerEvery500Cycles)
{
    sched.advance_to(100);
    firmware_setup();
    ASSERT_EQ(pulses, std::vector<Cycles>{100}) << "with MMS = reset, UG itself is the trigger output";
    pulses.clear();
    EXPECT_TRUE(tim.counting());
    EXPECT_EQ(tim.period_cycles(), 500u);

    sched.advance_to(100 + 250);
    EXPECT_EQ(tim.read(Timer::kCnt, 4), 250u) << "CNT follows virtual time";
    sched.advance_to(100 + 499);
    EXPECT_EQ(tim.read(Timer::kCnt, 4), 499u);
    EXPECT_TRUE(pulses.empty());
    sched.advance_to(100 + 500);
    EXPECT_EQ(tim.read(Timer::kCnt, 4), 0u);
    ASSERT_EQ(pulses.size(), 1u);
    EXPECT_EQ(pulses[0], 600u);

    sched.advance_to(100 + 8'000'000);
    EXPECT_EQ(pulses.size(), 16000u) << "16,000 update events a second";
    for (std::size_t i = 1; i < pulses.size(); ++i) ASSERT_EQ(pulses[i] - pulses[i - 1], 500u);
    EXPECT_EQ(tim.updates(), 16001u) << "UG counts as an update";
    EXPECT_NE(tim.read(Timer::kSr, 4) & Timer::kUif, 0u);
}

TEST_F(TimerModel, TriggersOnlyWhileCounting)
{
    tim.write(Timer::kArr, 499, 4);
    tim.write(Timer::kCr2, Timer::kMmsUpdate, 4);
    sched.advance_to(10'000);
    EXPECT_TRUE(pulses.empty()) << "CEN clear: no counting, no trigger";
    EXPECT_EQ(tim.read(Timer::kCnt, 4), 0u);

    tim.write(Timer::kCr1, Timer::kCen, 4);
    sched.advance_to(10'000 + 1'200);
    EXPECT_EQ(pulses.size(), 2u);
    tim.write(Timer::kCr1, 0, 4); // stop at count 200
    sched.advance_to(50'000);
    EXPECT_EQ(pulses.size(), 2u);
    EXPECT_EQ(tim.read(Timer::kCnt, 4), 200u) << "a stopped counter keeps its count";
    tim.write(Timer::kCr1, Timer::kCen, 4);
    sched.advance_to(50'000 + 299);
    EXPECT_EQ(pulses.size(), 2u);
    sched.advance_to(50'000 + 300);
    EXPECT_EQ(pulses.size(), 3u) << "and goes on from it";

    tim.write(Timer::kCr2, 0, 4); // MMS = reset: updates no longer reach TRGO
    sched.advance_to(60'000);
    EXPECT_EQ(pulses.size(), 3u);
}

TEST_F(TimerModel, UpdateGenerationFlagsAndInterruptLine)
{
    tim.write(Timer::kArr, 99, 4);
    tim.write(Timer::kDier, Timer::kUif, 4);
    tim.write(Timer::kEgr, Timer::kUg, 4);
    EXPECT_EQ(tim.read(Timer::kSr, 4), Timer::kUif);
    EXPECT_TRUE(irq.level[sim::kTim3Irq]);
    tim.write(Timer::kSr, ~Timer::kUif, 4); // rc_w0
    EXPECT_EQ(tim.read(Timer::kSr, 4), 0u);
    EXPECT_FALSE(irq.level[sim::kTim3Irq]);
    tim.write(Timer::kSr, Timer::kUif, 4);
    EXPECT_EQ(tim.read(Timer::kSr, 4), 0u) << "writing 1 leaves a flag as it is";

    tim.write(Timer::kCr1, Timer::kUrs, 4);
    tim.write(Timer::kEgr, Timer::kUg, 4);
    EXPECT_EQ(tim.read(Timer::kSr, 4), 0u) << "URS: UG does not set UIF";
    EXPECT_EQ(tim.updates(), 2u) << "but is still an update event";

    tim.write(Timer::kCr1, Timer::kUdis, 4);
    tim.write(Timer::kEgr, Timer::kUg, 4);
    EXPECT_EQ(tim.updates(), 2u) << "UDIS: no update event";
    tim.write(Timer::kCr1, Timer::kUdis | Timer::kCen, 4);
    sched.advance_to(1000);
    EXPECT_EQ(tim.updates(), 2u) << "not even from overflow";
    EXPECT_EQ(tim.read(Timer::kCnt, 4), 0u) << "but the counter wraps";
    EXPECT_EQ(tim.read(Timer::kEgr, 4), 0u);
}

TEST_F(TimerModel, PrescalerIsBufferedAndUgRestartsTheCounter)
{
    firmware_setup();
    sched.advance_to(300);
    tim.write(Timer::kPsc, 1, 4);
    EXPECT_EQ(tim.read(Timer::kPsc, 4), 1u);
    sched.advance_to(500);
    EXPECT_EQ(pulses.back(), 500u) << "the old prescaler runs to the update";
    EXPECT_EQ(tim.period_cycles(), 1000u);
    sched.advance_to(1499);
    EXPECT_EQ(tim.read(Timer::kCnt, 4), 499u);
    sched.advance_to(1500);
    EXPECT_EQ(pulses.back(), 1500u);

    sched.advance_to(1700);
    tim.write(Timer::kPsc, 0, 4);
    tim.write(Timer::kEgr, Timer::kUg, 4);
    EXPECT_EQ(tim.read(Timer::kCnt, 4), 0u);
    EXPECT_EQ(pulses.back(), 1700u) << "UG is an update, so with MMS = update a trigger";
    sched.advance_to(2200);
    EXPECT_EQ(pulses.back(), 2200u) << "UG loaded the new prescaler at once";
}

TEST_F(TimerModel, AutoReloadAtOnceOrAtTheUpdateAndAboveArr)
{
    firmware_setup();
    pulses.clear();
    sched.advance_to(100);
    tim.write(Timer::kArr, 199, 4); // no preload: at once
    sched.advance_to(200);
    EXPECT_EQ(pulses, std::vector<Cycles>{200});

    tim.write(Timer::kCr1, Timer::kCen | Timer::kArpe, 4);
    tim.write(Timer::kArr, 999, 4);
    sched.advance_to(400);
    EXPECT_EQ(pulses.back(), 400u) << "preloaded: the old value until the update";
    sched.advance_to(1400);
    EXPECT_EQ(pulses.back(), 1400u);

    tim.write(Timer::kCr1, Timer::kCen, 4);
    tim.write(Timer::kCnt, 65000, 4); // above ARR: runs on to 0xFFFF
    sched.advance_to(1400 + 535);
    EXPECT_EQ(tim.read(Timer::kCnt, 4), 65535u);
    sched.advance_to(1400 + 536);
    EXPECT_EQ(pulses.back(), 1400u + 536u);
    EXPECT_EQ(tim.read(Timer::kCnt, 4), 0u);

    tim.write(Timer::kArr, 0, 4);
    EXPECT_FALSE(tim.counting()) << "ARR = 0 blocks the counter";
    const std::size_t n = pulses.size();
    sched.advance_to(100'000);
    EXPECT_EQ(pulses.size(), n);
}

TEST_F(TimerModel, OnePulseModeStopsAtTheUpdate)
{
    tim.write(Timer::kArr, 99, 4);
    tim.write(Timer::kCr2, Timer::kMmsUpdate, 4);
    tim.write(Timer::kCr1, Timer::kCen | Timer::kOpm, 4);
    sched.advance_to(10'000);
    EXPECT_EQ(pulses, std::vector<Cycles>{100});
    EXPECT_EQ(tim.read(Timer::kCr1, 4) & Timer::kCen, 0u);
}

} // namespace
} // namespace snt_test
