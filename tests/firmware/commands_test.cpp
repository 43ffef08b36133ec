// The synthesizer commands f, o, c and x as a host sees them: bus traffic,
// the synthesizer's outputs, and how long each command keeps the firmware.
#include <algorithm>

#include "board/bench/bus_monitor.h"
#include "board_fixture.h"
#include "protocol.h"

namespace snt_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class Commands : public BoardTest {
protected:
    std::vector<Bytes> bus;
    sim::BusMonitor monitor{board.scheduler(), board.gpiof(), [this](Cycles, const Bytes &b) { bus.push_back(b); }};

    void SetUp() override
    {
        boot();
        bus.clear();
    }
    // Runs one line and returns how long the firmware took from the line's
    // carriage return until it was idle again.
    Cycles run(const std::string &line)
    {
        bus.clear();
        send(line);
        const Cycles arrival = board.usart().host_send_done_at();
        board.run_until([&] { return board.now() >= arrival; }, ms(10));
        EXPECT_TRUE(board.run_until_idle(ms(500))) << line;
        return board.now() - arrival;
    }
    std::int32_t freq() { return SNT_FW(board.firmware(), freq); }
    double out(int clk) { return board.si5351().output_hz(clk); }
    bool wrote(std::uint8_t reg, std::uint8_t value)
    {
        return std::any_of(bus.begin(), bus.end(),
                           [&](const Bytes &b) { return b.size() == 3 && b[1] == reg && b[2] == value; });
    }
};

TEST_F(Commands, SetFrequencyPutsTheLocalOscillatorOneKilohertzAway)
{
    EXPECT_EQ(freq(), 3000000);
    const struct {
        const char *line;
        std::int32_t freq;
        std::uint32_t lo;
    } cases[] = {
        {"f 7000000\r", 7000000, 7001000},       {"f7000000\r", 7000000, 7001000},
        {"f, ,7000000\r", 7000000, 7001000},     {"f 7,000,000\r", 7, 1007},
        {"f 129999999\r", 129999999, 130000999}, {"f 130000000\r", 130000000, 129999000},
        {"f 145000000\r", 145000000, 144999000}, {"f 4294968296\r", 1000, 2000},
    };
    for (const auto &c : cases) {
        run(c.line);
        EXPECT_EQ(freq(), c.freq) << c.line;
        EXPECT_EQ(SNT_FW(board.firmware(), freq1), std::uint32_t(c.freq)) << c.line;
        EXPECT_EQ(SNT_FW(board.firmware(), freq0), c.lo) << c.line;
        EXPECT_EQ(SNT_FW(board.firmware(), freq2), 0u) << c.line;
    }
    run("f 7000000\r");
    EXPECT_NEAR(out(1), 7000000.0, 0.01);
    // Each PLL lands up to 1/1048575 of the 25 MHz crystal below its target.
    EXPECT_NEAR(out(0) - out(1), 1000.0, 0.25);
    EXPECT_EQ(serial.text(), "25000000\r" ID_TEXT "\r") << "f is silent";
}

TEST_F(Commands, SettleHundredMillisecondsOnlyWhenTheOutputsWereNotRunning)
{
    EXPECT_LT(run("f 7000000\r"), ms(10)) << "outputs were running at 3 MHz";
    run("o\r");
    EXPECT_EQ(freq(), 7000000) << "o keeps the frequency";
    EXPECT_EQ(out(0) + out(1) + out(2), 0.0);
    EXPECT_TRUE(wrote(16, 0x80) && wrote(17, 0x80) && wrote(18, 0x80));
    const Cycles first = run("f 150000000\r");
    EXPECT_GE(first, ms(100));
    EXPECT_LT(first, ms(110));
    EXPECT_NEAR(out(1), 150e6, 1e-3);
    EXPECT_LT(run("f 150000000\r"), ms(2)) << "the same line again: nothing changes, no wait";
    EXPECT_TRUE(bus.empty());

    run("f 180000000\r");
    EXPECT_NEAR(out(1), 180e6, 1e-3) << "a kept divider of 4 reaches past 175 MHz";
    run("f 250000000\r"); // beyond any plan: both outputs off
    EXPECT_EQ(out(1), 0.0);
    EXPECT_GE(run("f 7000000\r"), ms(100));
}

TEST_F(Commands, FrequencyWithoutDigitsSwitchesTheStimulusOff)
{
    run("f\r");
    EXPECT_EQ(freq(), 0);
    EXPECT_EQ(SNT_FW(board.firmware(), freq0), 1000u) << "the local oscillator is asked for 1 kHz";
    EXPECT_EQ(SNT_FW(board.firmware(), freq1), 0u);
    EXPECT_EQ(out(1), 0.0);
    EXPECT_EQ(out(0), 0.0) << "1 kHz is below what the R divider reaches";
    for (const char *line : {"f abc\r", "f -5\r", "f\t5\r"}) {
        run("f 7000000\r");
        run(line);
        EXPECT_EQ(freq(), 0) << line;
    }
}

TEST_F(Commands, CalibrationRoutesTheCrystalAndTheNextFrequencyNeedsNoWait)
{
    board.si5351().set_xtal_hz(25001234.0);
    run("f 7000000\r");
    run("c\r");
    EXPECT_EQ(freq(), 7000000) << "c keeps the frequency";
    for (int clk = 0; clk < 3; ++clk) EXPECT_DOUBLE_EQ(out(clk), 25001234.0) << clk;
    ASSERT_GE(bus.size(), 7u);
    EXPECT_EQ(bus.back(), (Bytes{0xC0, 187, 0xD0}));
    EXPECT_EQ(bus[bus.size() - 7], (Bytes{0xC0, 16, 0x03})) << "after the 5 MHz plan, the crystal routing";

    EXPECT_LT(run("f 5001000\r"), ms(20)) << "the 5 MHz plans stay, so no 100 ms wait";
    EXPECT_NEAR(out(1), 5001000.0 * 25001234.0 / 25e6, 0.05) << "back on its MultiSynth, not on the crystal";
    EXPECT_NEAR(out(0), 5002000.0 * 25001234.0 / 25e6, 0.05);
    EXPECT_EQ(out(2), 0.0);
}

TEST_F(Commands, CrystalFrequencyWindow)
{
    for (const char *line : {"x 23999999\r", "x 31000001\r", "x\r", "x -25000000\r", "x 24,000,000\r"}) {
        run(line);
        EXPECT_TRUE(bus.empty()) << line;
        EXPECT_EQ(SNT_FW(board.firmware(), xtal), 25000000u) << line;
    }
    for (std::uint32_t hz : {24000000u, 31000000u, 25000000u}) {
        run("x " + std::to_string(hz) + "\r");
        EXPECT_EQ(SNT_FW(board.firmware(), xtal), hz);
        EXPECT_EQ(SNT_FW(board.firmware(), xtal_freq), hz * 10);
        ASSERT_FALSE(bus.empty());
        EXPECT_EQ(bus.back(), (Bytes{0xC0, 177, 0xA0})) << "applied at once, with both PLLs reset";
    }
    // The planner now divides by a 24 MHz reference while the real crystal is 25 MHz.
    run("x 24000000\r");
    run("f 7000000\r");
    EXPECT_NEAR(out(1), 7000000.0 * 25.0 / 24.0, 1.0);
    EXPECT_EQ(serial.text(), "25000000\r" ID_TEXT "\r") << "x is silent";
}

} // namespace
} // namespace snt_test
