// The measuring path on the virtual board: TIM3 as the ADC's trigger, ADC
// conversions, the analog front end with its noise, the devices under test
// and their texts, and the board and snt-sim options that choose them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "adc.h"
#include "analog.h"
#include "board_fixture.h"
#include "dut.h"
#include "scheduler.h"
#include "tim.h"

namespace snt_test {
namespace {

using sim::Adc;
using sim::AnalogFrontEnd;
using sim::Timer;

constexpr double kPi = 3.14159265358979323846;

struct IrqProbe : sim::IrqSink {
    std::vector<bool> level = std::vector<bool>(32, false);
    void set_irq_level(int irq, bool high) override { level[irq] = high; }
    void pend_systick() override {}
};

double db(double gain) { return 20 * std::log10(gain); }

// ================================================================== TIM3

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

// =================================================================== ADC

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
    adc.write(Adc::kSmpr, 0, 4);                         // 1.5 cycles
    EXPECT_EQ(adc.conversion_cycles(), 6u) << "(1.5 + 8.5) clocks of 14 MHz";
    adc.write(Adc::kCr, Adc::kAden, 4);
    sched.advance_to(sched.now() + us(1));
    start();
    sched.advance_to(sched.now() + 6);
    EXPECT_EQ(adc.read(Adc::kDr, 4), 0xABDu >> 4 << 8);
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

// ====================================================== analog front end

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

// =================================================== devices: their texts

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
    EXPECT_EQ(f("+3M"), 3e6);
    for (const char *bad : {"", "k", "10m", "abc", "1.2.3", "1 M", "-5", "0", "0k", "inf", "nan", "1e999", "+-1",
                            "0x10", "M1"}) {
        EXPECT_THROW(f(bad), sim::DutError) << bad;
    }
    // A pair of bandpass values with multipliers on both.
    EXPECT_NEAR(db(sim::parse_dut("bandpass:455k:10k")->gain(455e3)), 0.0, 1e-12);
}

TEST(DutText, EveryMistakeHasAOneLineMessage)
{
    const std::string dir = testing::TempDir();
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
        {"touchstone:" + dir + "f.s1p", "only two-port files (.s2p) are read"},
        {"lowpass:1\n2", "lowpass: cut-off frequency \"1?2\""},
    };
    for (const Case &c : cases) {
        try {
            sim::parse_dut(c.device);
            ADD_FAILURE() << "accepted: " << c.device;
        } catch (const sim::DutError &e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.says), std::string::npos) << "for " << c.device << ": " << what;
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
    }
}

// ==================================================== Touchstone files

class TouchstoneFile : public ::testing::Test {
protected:
    std::string path(const std::string &name) { return testing::TempDir() + "analog_test_" + name; }
    std::string write(const std::string &name, const std::string &text)
    {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary | std::ios::trunc) << text;
        return p;
    }
    std::unique_ptr<sim::Dut> load(const std::string &name, const std::string &text)
    {
        return sim::parse_dut("touchstone:" + write(name, text));
    }
    std::string error(const std::string &name, const std::string &text)
    {
        try {
            load(name, text);
        } catch (const sim::DutError &e) {
            return e.what();
        }
        return "(accepted)";
    }
};

TEST_F(TouchstoneFile, FormatsUnitsAndComments)
{
    const auto ma = load("ma.s2p", "! a filter\n"
                                   "# MHz S MA R 50\n"
                                   "1 0.1 0 0.5 -45 0.5 -45 0.1 0 ! first point\n"
                                   "2 0.1 0 0.25 -90 0.25 -90 0.1 0\n");
    EXPECT_DOUBLE_EQ(ma->gain(1e6), 0.5);
    EXPECT_DOUBLE_EQ(ma->gain(2e6), 0.25);

    const auto dbf = load("db.s2p", "#khz s db r 75\n"
                                    "100 -20 0 -6 10 -6 10 -20 0\n"
                                    "200 -20 0 -12 20 -12 20 -20 0\n");
    EXPECT_NEAR(db(dbf->gain(100e3)), -6, 1e-9);
    EXPECT_NEAR(db(dbf->gain(200e3)), -12, 1e-9);

    const auto ri = load("ri.S2P", "# Hz RI S R 50\n"
                                   "1000 0 0 0.3 0.4 0 0 0 0\n"
                                   "2000 0 0 -0.6 0.8 0 0 0 0\n");
    EXPECT_NEAR(ri->gain(1000), 0.5, 1e-12);
    EXPECT_NEAR(ri->gain(2000), 1.0, 1e-12);

    const auto defaults = load("defaults", "1 0 0 0.1 0 0 0 0 0\n2 0 0 0.2 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(defaults->gain(1e9), 0.1) << "GHz and MA without an option line";
    EXPECT_DOUBLE_EQ(defaults->gain(2e9), 0.2);

    const auto second = load("second.s2p", "# MHz S DB R 50\n# Hz S MA R 50\n1 0 0 -3 0 0 0 0 0\n");
    EXPECT_NEAR(db(second->gain(1e6)), -3, 1e-9) << "option lines after the first are ignored";
    const auto late = load("late.s2p", "1 0 0 0.5 0 0 0 0 0\n# Hz S DB R 50\n2 0 0 0.25 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(late->gain(2e9), 0.25) << "and so is one after the data has begun";
}

TEST_F(TouchstoneFile, RecordsWrapOverLinesAndNoiseDataIsSkipped)
{
    const auto wrapped = load("wrapped.s2p", "# MHz S MA R 50\n"
                                             "1 0.1 0\n"
                                             "  0.5 0\n"
                                             "  0.5 0 0.1 0\n"
                                             "\n"
                                             "2 0.1 0 0.25 0 ! comment inside a record\n"
                                             "0.25 0 0.1 0\n");
    EXPECT_DOUBLE_EQ(wrapped->gain(1e6), 0.5);
    EXPECT_DOUBLE_EQ(wrapped->gain(2e6), 0.25);

    const auto noisy = load("noise.s2p", "# GHz S DB R 50\n"
                                         "1 -20 0 10 0 -30 0 -20 0\n"
                                         "2 -20 0 8 0 -30 0 -20 0\n"
                                         "! noise parameters\n"
                                         "1 1.2 0.5 30 0.3\n"
                                         "2 1.5 0.4 60 0.35\n");
    EXPECT_NEAR(db(noisy->gain(1e9)), 10, 1e-9);
    EXPECT_NEAR(db(noisy->gain(2e9)), 8, 1e-9);
}

TEST_F(TouchstoneFile, InterpolatesInDbAndHoldsTheEnds)
{
    const auto dut = load("interp.s2p", "# MHz S DB R 50\n"
                                        "1 0 0 -10 0 0 0 0 0\n"
                                        "3 0 0 -30 0 0 0 0 0\n"
                                        "4 0 0 -30 0 0 0 0 0\n"
                                        "5 0 0 0 0 0 0 0 0\n");
    EXPECT_NEAR(db(dut->gain(2e6)), -20, 1e-9) << "linear in dB, not in magnitude";
    EXPECT_NEAR(db(dut->gain(1.5e6)), -15, 1e-9);
    EXPECT_NEAR(db(dut->gain(3.5e6)), -30, 1e-9);
    EXPECT_NEAR(db(dut->gain(4.75e6)), -7.5, 1e-9);
    EXPECT_NEAR(db(dut->gain(0.5e6)), -10, 1e-9) << "below the first point: its value";
    EXPECT_NEAR(db(dut->gain(0)), -10, 1e-9);
    EXPECT_NEAR(db(dut->gain(100e6)), 0, 1e-9) << "above the last point: its value";

    const auto one = load("one.s2p", "# MHz S MA R 50\n7 0 0 0.7 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(one->gain(1), 0.7);
    EXPECT_DOUBLE_EQ(one->gain(1e9), 0.7);

    const auto zero = load("zero.s2p", "# MHz S MA R 50\n1 0 0 0 0 0 0 0 0\n2 0 0 1 0 0 0 0 0\n");
    EXPECT_NEAR(db(zero->gain(1e6)), -300, 1e-6) << "a magnitude of 0 is held at -300 dB";
    EXPECT_NEAR(db(zero->gain(1.5e6)), -150, 1e-6);
}

TEST_F(TouchstoneFile, RefusesWhatItCannotRead)
{
    EXPECT_NE(error("empty.s2p", "").find("empty.s2p: no data"), std::string::npos);
    EXPECT_NE(error("comments.s2p", "! nothing\n# MHz S MA R 50\n").find(": no data"), std::string::npos);
    EXPECT_NE(error("word.s2p", "# MHz S MA R 50\n1 0 0 1 0 0 0 0 0\n2 0 0 x 0 0 0 0 0\n")
                  .find("word.s2p line 3: \"x\" is not a number"),
              std::string::npos);
    EXPECT_NE(error("short.s2p", "# MHz S MA R 50\n1 0 0 1 0\n").find("the last record has 5 of its 9 numbers"),
              std::string::npos);
    EXPECT_NE(error("down.s2p", "# MHz S MA R 50\n2 0 0 1 0 0 0 0 0\n1 0 0 1 0 0 0 0 0\n")
                  .find("line 3: frequencies must increase (1e+06 Hz after 2e+06 Hz)"),
              std::string::npos);
    EXPECT_NE(error("same.s2p", "# MHz S MA R 50\n2 0 0 1 0 0 0 0 0\n2 0 0 1 0 0\n0 0 0\n")
                  .find("line 3: frequencies must increase"),
              std::string::npos)
        << "a repeated frequency that does not start noise data";
    EXPECT_NE(error("negative.s2p", "# MHz S MA R 50\n-1 0 0 1 0 0 0 0 0\n").find("negative frequency"),
              std::string::npos);
    EXPECT_NE(error("option.s2p", "# MHz S XX R 50\n").find("line 1: unknown option \"XX\""), std::string::npos);
    EXPECT_NE(error("y.s2p", "# MHz Y MA R 50\n").find("only S parameters are read, not Y"), std::string::npos);
    EXPECT_NE(error("r.s2p", "# MHz S MA R\n").find("R must be followed by the reference impedance"),
              std::string::npos);
    EXPECT_NE(error("r0.s2p", "# MHz S MA R 0\n").find("R must be followed"), std::string::npos);
    EXPECT_NE(error("v2.s2p", "[Version] 2.0\n").find("keywords of Touchstone 2 are not read"), std::string::npos);
    EXPECT_NE(error("noise.s2p", "# MHz S MA R 50\n2 0 0 1 0 0 0 0 0\n1 1 1 1 1\n1.5 1 1\n")
                  .find("line 4: a noise parameter line has 5 numbers"),
              std::string::npos);
    EXPECT_NE(error("ports.s3p", "1 0 0 1 0 0 0 0 0\n").find("only two-port files"), std::string::npos);
    for (const char *name : {"empty.s2p", "word.s2p", "down.s2p", "y.s2p"}) {
        EXPECT_EQ(error(name, "\n\n1 0 0 1\n").find('\n'), std::string::npos);
    }
}

// =============================================== devices: their responses

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

// ========================================================= on the board

class BoardAnalog : public BoardTest {};

TEST_F(BoardAnalog, Tim3TriggersTheAdcOnTheToneOfTheSynthesizer)
{
    boot();
    sim::Timer &tim = board.tim3();
    EXPECT_TRUE(tim.counting());
    EXPECT_EQ(tim.period_cycles(), 500u);
    EXPECT_EQ(tim.read(Timer::kCr2, 4) & Timer::kMmsMask, Timer::kMmsUpdate);
    EXPECT_EQ(board.inspect(0x40000400 + Timer::kArr), 499u) << "mapped at 0x40000400";
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
    if (!(board.adc().reg(Adc::kCr) & Adc::kAdstart)) board.poke(0x40012400 + Adc::kCr, Adc::kAdstart);
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
    sim::Board board(options);
    EXPECT_NEAR(board.analog().dut().gain(1e6), 0.1, 1e-12);
    EXPECT_EQ(board.analog().noise(), 0.5);

    options.dut = "bandpass:1M";
    EXPECT_THROW(sim::Board{options}, sim::DutError);
    options.dut = "thru";
    options.noise = -1;
    EXPECT_THROW(sim::Board{options}, std::invalid_argument);
}

// ================================================================ snt-sim

ProcessResult snt_sim(const std::vector<std::string> &args, const std::string &input = "")
{
    std::vector<std::string> argv{built_program("snt-sim")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, input);
}

TEST(SntSimOptions, BadDeviceNoiseOrSeedExitWithStatus2AndOneLine)
{
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--dut", "cable"}, "snt-sim: --dut: unknown device under test \"cable\""},
        {{"--dut", "lowpass:0"}, "snt-sim: --dut: lowpass: cut-off frequency \"0\": must be above 0 Hz"},
        {{"--dut", "touchstone:/nonexistent/f.s2p"}, "snt-sim: --dut: touchstone: /nonexistent/f.s2p: cannot open"},
        {{"--dut"}, "--dut"},
        {{"--noise", "-1"}, "--noise"},
        {{"--noise", "abc"}, "--noise"},
        {{"--noise", "inf"}, "--noise"},
        {{"--seed", "x"}, "--seed"},
        {{"--seed", "-1"}, "--seed"},
        {{"--seed", "18446744073709551616"}, "--seed"},
    };
    for (const Case &c : cases) {
        const ProcessResult r = snt_sim(c.args);
        EXPECT_EQ(r.exit_code, 2) << c.args[0] << " " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("snt-sim: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST(SntSimOptions, GoodValuesRunAndHelpListsThem)
{
    const std::string file = testing::TempDir() + "analog_test_sim.s2p";
    std::ofstream(file, std::ios::trunc) << "# MHz S DB R 50\n1 0 0 -6 0 0 0 0 0\n";
    const ProcessResult r = snt_sim(
        {"--dut", "touchstone:" + file, "--noise", "0.5", "--seed", "18446744073709551615"}, "w\r");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("VORN"), std::string::npos) << r.out;

    const ProcessResult help = snt_sim({"--help"});
    EXPECT_EQ(help.exit_code, 0);
    for (const char *option : {"--dut", "--noise", "--seed", "crystal:FS:Q", "touchstone:FILE"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
}

} // namespace
} // namespace snt_test
