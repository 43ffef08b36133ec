// The tone detector: the ADC interrupt's crest search and Goertzel steps,
// and ReadData's restart and level, fed with chosen samples.
#include <cmath>
#include <cstring>
#include <functional>

#include "board_fixture.h"

namespace snt_test {
namespace {

// Samples as a function of the conversion's time, in seconds.
class ScriptedInput : public sim::AnalogSource {
public:
    std::function<double(double)> wave = [](double) { return 2048.0; };
    std::uint16_t sample(Cycles when) override
    {
        const double v = std::lround(wave(static_cast<double>(when) / sim::kCoreHz));
        return static_cast<std::uint16_t>(std::min(4095.0, std::max(0.0, v)));
    }
};

// The handler alone: the test starts each conversion by software and calls
// the handler itself; the interrupt controller is left off.
class DetectorHandler : public BoardTest {
protected:
    std::uint16_t next = 0;
    struct Fixed : sim::AnalogSource {
        std::uint16_t *value;
        std::uint16_t sample(Cycles) override { return *value; }
    } input;

    void SetUp() override
    {
        input.value = &next;
        board.adc().set_source(&input);
        board.poke(sim::kRccBase + sim::Rcc::kCr2, 1);           // HSI14 on
        board.poke(sim::kRccBase + sim::Rcc::kApb2enr, 1u << 9); // ADC clock
        board.poke(sim::kAdcBase + sim::Adc::kSmpr, 7);          // 239.5-cycle sampling
        board.poke(sim::kAdcBase + sim::Adc::kCr, sim::Adc::kAden);
        board.scheduler().advance_to(board.now() + 100);
        std::uint32_t bits = 0x3FEC835F;
        std::memcpy(&SNT_FW(board.firmware(), coeff), &bits, 4);
        // A measurement has been asked for, as ReadData's restart does.
        SNT_FW(board.firmware(), nstep) = 0;
        SNT_FW(board.firmware(), last_val) = 10000;
        SNT_FW(board.firmware(), measure_stage) = 0;
    }
    // One conversion of `value`, then one handler entry.
    void feed(std::uint16_t value)
    {
        next = value;
        board.poke(sim::kAdcBase + sim::Adc::kCr, sim::Adc::kAden | sim::Adc::kAdstart);
        board.scheduler().advance_to(board.now() + board.adc().conversion_cycles());
        handler();
    }
    std::uint32_t stage() { return SNT_FW(board.firmware(), measure_stage); }
    std::int32_t nstep() { return SNT_FW(board.firmware(), nstep); }
    std::int32_t last_val() { return SNT_FW(board.firmware(), last_val); }
    float q1() { return SNT_FW(board.firmware(), Q1); }
    void (*handler)() = &SNT_FW(board.firmware(), ADC1_IRQHandler);
};

TEST_F(DetectorHandler, ConstantInputSpendsTheSearchBudgetWithoutAccumulating)
{
    for (int i = 1; i <= 15; ++i) {
        feed(2000);
        EXPECT_EQ(stage(), 0u) << "an equal sample replaces the minimum and is no rise";
        EXPECT_EQ(nstep(), i);
    }
    feed(2000);
    EXPECT_EQ(stage(), 2u);
    EXPECT_EQ(nstep(), 0);
    EXPECT_EQ(q1(), 0.0f) << "the sixteenth search sample is not accumulated";
    for (int i = 0; i < 255; ++i) feed(2000);
    EXPECT_EQ(stage(), 2u);
    feed(2000);
    EXPECT_EQ(stage(), 3u) << "256 accumulated samples";
    const float q = q1();
    feed(1234);
    EXPECT_EQ(q1(), q) << "a finished detector ignores samples";

    handler(); // an entry without a finished conversion reads nothing
    EXPECT_EQ(stage(), 3u);
}

TEST_F(DetectorHandler, CrestSearchEndsOnTheFirstStrictFall)
{
    for (std::uint16_t v : {900, 800, 800}) feed(v);
    EXPECT_EQ(stage(), 0u);
    EXPECT_EQ(last_val(), 800);
    feed(850);
    EXPECT_EQ(stage(), 1u) << "a rise starts the maximum search";
    EXPECT_EQ(last_val(), 800) << "and the minimum stays";
    for (std::uint16_t v : {950, 950, 950}) feed(v);
    EXPECT_EQ(stage(), 1u) << "a sample equal to the maximum does not end it";
    EXPECT_EQ(last_val(), 950);
    EXPECT_EQ(nstep(), 7);
    feed(949);
    EXPECT_EQ(stage(), 2u);
    EXPECT_EQ(nstep(), 1);
    EXPECT_EQ(q1(), 949.0f) << "the sample that ends the search is the first accumulated";
}

TEST_F(DetectorHandler, RiseOnTheSixteenthSampleStillEndsTheSearch)
{
    for (int i = 0; i < 15; ++i) feed(700);
    feed(701);
    EXPECT_EQ(stage(), 2u) << "the budget overrides the change to the maximum search";
    EXPECT_EQ(nstep(), 0);
    EXPECT_EQ(q1(), 0.0f);
    feed(702);
    EXPECT_EQ(q1(), 702.0f) << "accumulation starts with the next sample";

    // Budget spent in the maximum search: the sixteenth sample is accumulated.
    SetUp();
    SNT_FW(board.firmware(), Q1) = 0.0f;
    SNT_FW(board.firmware(), Q2) = 0.0f;
    feed(100);
    for (int i = 0; i < 15; ++i) feed(static_cast<std::uint16_t>(200 + i));
    EXPECT_EQ(stage(), 2u);
    EXPECT_EQ(nstep(), 1);
    EXPECT_EQ(q1(), 214.0f);
}

// ---- ReadData with conversions paced by the timer

class DetectorRun : public BoardTest {
protected:
    ScriptedInput input;
    void SetUp() override
    {
        boot();
        board.adc().set_source(&input);
    }
    float read_data() { return SNT_FW(board.firmware(), ReadData)(); }
    void tone(double hz, double amplitude, double phase)
    {
        input.wave = [=](double t) { return 2048.0 + amplitude * std::cos(2 * M_PI * hz * t + phase); };
    }
};

TEST_F(DetectorRun, ConstantInputTakes272ConversionsAndReadsNearZero)
{
    const std::uint64_t before = board.adc().conversions();
    const float level = read_data();
    EXPECT_EQ(board.adc().conversions() - before, 272u);
    EXPECT_LT(std::fabs(level), 1.0f);
}

TEST_F(DetectorRun, OneKilohertzToneReadsTheSameAtAnyPhase)
{
    const double expected = std::pow(128.0 * 1000.0, 2); // 1.64e10
    for (double phase : {0.0, 0.4, 1.3, 2.2, 3.1, 4.5, 5.9}) {
        tone(1000.0, 1000.0, phase);
        const std::uint64_t before = board.adc().conversions();
        const float level = read_data();
        EXPECT_NEAR(level / expected, 1.0, 0.01) << "phase " << phase;
        const std::uint64_t took = board.adc().conversions() - before;
        EXPECT_GE(took, 258u);
        EXPECT_LE(took, 272u);
    }
    for (double hz : {1062.5, 2000.0}) {
        tone(hz, 1000.0, 0.7);
        EXPECT_LT(std::fabs(read_data()), expected * 1e-6) << hz << " Hz lies on another bin";
    }
}

TEST_F(DetectorRun, EachReadIsAFreshMeasurement)
{
    tone(1000.0, 1000.0, 0.0);
    const float loud = read_data();
    tone(1000.0, 100.0, 0.0);
    const float quiet = read_data();
    EXPECT_NEAR(quiet / loud, 0.01, 0.001) << "the second read measured after the change";
    EXPECT_EQ(SNT_FW(board.firmware(), measure_stage), 3u);
}

} // namespace
} // namespace snt_test
