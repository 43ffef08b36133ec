// The ADC on its own: enable, triggered and software-started conversions,
// their timing, overrun, resolution and alignment.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "board/peripherals/adc.h"
#include "board/peripherals/scheduler.h"
#include "board/peripherals/tim.h"
#include "board_fixture.h"
#include "model_probes.h"

namespace snt_test {
namespace {

using sim::Adc;
using sim::Timer;

// An input that counts its samples and remembers when each was taken.
struct ProbeSource : sim::AnalogSource {
    std::vector<Cycles> times;
    std::uint16_t next = 100;
    std::uint16_t sample(Cycles when) override
    {
        times.push_back(when);
        return next++;
    }
};

class AdcConversions : public ::testing::Test {
protected:
    sim::Scheduler sched;
    IrqProbe irq;
    Adc adc{sched, irq, sim::kAdcIrq};
    ProbeSource source;

    void SetUp() override
    {
        adc.reset();
        adc.set_source(&source);
    }
    // The firmware's configuration: TIM3_TRGO, rising edge, 239.5 cycles,
    // overrun keeps the older data; then enable and wait for ADRDY.
    void configure(std::uint32_t cfgr1 = 0x4C1)
    {
        adc.write(Adc::kCfgr1, cfgr1, 4);
        adc.write(Adc::kSmpr, 7, 4);
        adc.write(Adc::kChselr, 1, 4);
        adc.write(Adc::kCr, Adc::kAden, 4);
        sched.advance_to(sched.now() + us(1));
        ASSERT_NE(adc.read(Adc::kIsr, 4) & Adc::kAdrdy, 0u);
        adc.write(Adc::kIsr, Adc::kAdrdy, 4);
    }
    void start() { adc.write(Adc::kCr, Adc::kAdstart, 4); }
    void trigger() { adc.external_trigger(Adc::kTrgTim3Trgo); }
};

TEST_F(AdcConversions, ResultIs18MicrosecondsAfterTheTrigger)
{
    configure();
    adc.write(Adc::kIer, Adc::kEoc, 4);
    start();
    EXPECT_EQ(adc.conversion_cycles(), 144u) << "252 clocks of 14 MHz";
    sched.advance_to(1000);
    trigger();
    EXPECT_TRUE(adc.converting());
    ASSERT_EQ(source.times, std::vector<Cycles>{1000}) << "the input is sampled at the start";
    sched.advance_to(1000 + 143);
    EXPECT_EQ(adc.read(Adc::kIsr, 4) & Adc::kEoc, 0u);
    EXPECT_FALSE(irq.level[sim::kAdcIrq]);
    sched.advance_to(1000 + 144);
    EXPECT_EQ(adc.read(Adc::kIsr, 4) & (Adc::kEoc | Adc::kEos), Adc::kEoc | Adc::kEos);
    EXPECT_TRUE(irq.level[sim::kAdcIrq]);
    EXPECT_FALSE(adc.converting());
    EXPECT_NE(adc.reg(Adc::kCr) & Adc::kAdstart, 0u) << "a triggered ADC stays started";

    EXPECT_EQ(adc.read(Adc::kDr, 4), 100u);
    EXPECT_EQ(adc.read(Adc::kIsr, 4) & Adc::kEoc, 0u) << "reading DR clears EOC";
    EXPECT_FALSE(irq.level[sim::kAdcIrq]);
    EXPECT_EQ(adc.conversions(), 1u);
}

TEST_F(AdcConversions, TriggersAreIgnoredUntilStartedAndWhileConverting)
{
    trigger();
    adc.write(Adc::kCfgr1, 0x4C1, 4);
    adc.write(Adc::kSmpr, 7, 4);
    adc.write(Adc::kCr, Adc::kAden, 4);
    adc.write(Adc::kCr, Adc::kAdstart, 4);
    trigger();
    EXPECT_TRUE(source.times.empty()) << "not ready yet";
    sched.advance_to(us(1));
    adc.write(Adc::kCr, Adc::kAden, 4);
    trigger();
    ASSERT_EQ(source.times.size(), 1u) << "ready and started";

    sched.advance_to(us(1) + 100);
    trigger();
    EXPECT_EQ(source.times.size(), 1u) << "a trigger during a conversion is ignored";
    sched.advance_to(us(1) + 144);
    EXPECT_EQ(adc.conversions(), 1u);
    adc.external_trigger(4);
    EXPECT_EQ(source.times.size(), 1u) << "another trigger line";
    trigger();
    EXPECT_EQ(source.times.size(), 2u);

    adc.write(Adc::kCr, Adc::kAdstp, 4);
    EXPECT_FALSE(adc.converting()) << "ADSTP drops the conversion in progress";
    EXPECT_EQ(adc.reg(Adc::kCr) & Adc::kAdstart, 0u);
    sched.advance_to(us(100));
    EXPECT_EQ(adc.conversions(), 1u);
    trigger();
    EXPECT_EQ(source.times.size(), 2u) << "stopped";
}

TEST_F(AdcConversions, OverrunKeepsTheOlderResult)
{
    configure();
    adc.write(Adc::kIer, Adc::kEoc | Adc::kOvr, 4);
    start();
    trigger();
    sched.advance_to(500);
    trigger(); // the first result is not read
    sched.advance_to(1000);
    EXPECT_NE(adc.read(Adc::kIsr, 4) & Adc::kOvr, 0u);
    EXPECT_EQ(adc.overruns(), 1u);
    EXPECT_EQ(adc.read(Adc::kDr, 4), 100u) << "OVRMOD = 0: the newer result is lost";
    EXPECT_TRUE(irq.level[sim::kAdcIrq]) << "OVR still raises the line";
    adc.write(Adc::kIsr, Adc::kOvr, 4);
    EXPECT_FALSE(irq.level[sim::kAdcIrq]);
    trigger();
    sched.advance_to(1500);
    EXPECT_EQ(adc.read(Adc::kDr, 4), 102u);
    EXPECT_EQ(adc.read(Adc::kIsr, 4) & Adc::kOvr, 0u);
}

TEST_F(AdcConversions, OverrunModeOneOverwrites)
{
    configure(0x4C1 | Adc::kOvrmod);
    start();
    trigger();
    sched.advance_to(500);
    trigger();
    sched.advance_to(1000);
    EXPECT_NE(adc.read(Adc::kIsr, 4) & Adc::kOvr, 0u);
    EXPECT_EQ(adc.read(Adc::kDr, 4), 101u);
}

TEST_F(AdcConversions, SoftwareStartResolutionAndAlignment)
{
    source.next = 0xABC;
    configure(0); // EXTEN = 0: ADSTART starts one conversion at once
    start();
    EXPECT_TRUE(adc.converting());
    sched.advance_to(sched.now() + 144);
    EXPECT_EQ(adc.read(Adc::kDr, 4), 0xABCu);
    EXPECT_EQ(adc.reg(Adc::kCr) & Adc::kAdstart, 0u) << "single conversion: ADSTART clears at its end";

    adc.write(Adc::kCr, Adc::kAden | Adc::kAddis, 4);
    EXPECT_EQ(adc.reg(Adc::kCr) & Adc::kAden, 0u);
    adc.write(Adc::kCfgr1, (2u << 3) | Adc::kAlign, 4); // 8 bits, left-aligned
    adc.write(Adc::kSmpr, 0, 4);                        // 1.5 cycles
    EXPECT_EQ(adc.conversion_cycles(), 6u) << "(1.5 + 8.5) clocks of 14 MHz";
    adc.write(Adc::kCr, Adc::kAden, 4);
    sched.advance_to(sched.now() + us(1));
    start();
    sched.advance_to(sched.now() + 6);
    EXPECT_EQ(adc.read(Adc::kDr, 4), 0xABDu >> 4 << 8);
}

// The conversion time follows each setting it depends on, in any order of
// changes (the model keeps the last one worked out).
TEST_F(AdcConversions, ConversionTimeFollowsResolutionSamplingTimeAndClock)
{
    struct Case {
        std::uint32_t cfgr1, smpr, cfgr2;
        Cycles cycles;
    } const cases[] = {
        {0, 7, 0, 144},         // (239.5 + 12.5) clocks of 14 MHz
        {0, 7, 1u << 30, 504},  // of PCLK / 2
        {0, 7, 2u << 30, 1008}, // of PCLK / 4
        {0, 7, 0, 144},         // back to the first
        {0, 0, 0, 8},           // (1.5 + 12.5) clocks of 14 MHz
        {2u << 3, 0, 0, 6},     // 8 bits
        {2u << 3, 0, 1u << 30, 20},
    };
    for (const Case &c : cases) {
        adc.write(Adc::kCfgr1, c.cfgr1, 4);
        adc.write(Adc::kSmpr, c.smpr, 4);
        adc.write(Adc::kCfgr2, c.cfgr2, 4);
        EXPECT_EQ(adc.conversion_cycles(), c.cycles) << c.cfgr1 << " " << c.smpr << " " << c.cfgr2;
    }
}

TEST_F(AdcConversions, Tim3TriggersSixteenThousandConversionsASecond)
{
    Timer tim{"TIM3", sched, irq, sim::kTim3Irq};
    tim.reset();
    tim.on_trgo([this] { trigger(); });
    configure();
    start();
    tim.write(Timer::kArr, 499, 4);
    tim.write(Timer::kCr2, Timer::kMmsUpdate, 4);
    tim.write(Timer::kCr1, Timer::kCen, 4);
    std::vector<std::uint32_t> data;
    const Cycles t0 = sched.now();
    while (sched.now() < t0 + sim::kCoreHz + adc.conversion_cycles()) {
        sched.advance_to_next_event();
        if (adc.reg(Adc::kIsr) & Adc::kEoc) data.push_back(adc.read(Adc::kDr, 4));
    }
    EXPECT_EQ(adc.conversions(), 16000u);
    EXPECT_EQ(data.size(), 16000u);
    EXPECT_EQ(adc.overruns(), 0u);
    ASSERT_GE(source.times.size(), 2u);
    EXPECT_EQ(source.times[1] - source.times[0], 500u);
}

} // namespace
} // namespace snt_test
