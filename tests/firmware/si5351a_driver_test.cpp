// The synthesizer module of the firmware, observed on the bus and in the
// Si5351A model of the board: register layer, planner and bus signalling.
#include <algorithm>
#include <cmath>

#include "board/bench/bus_monitor.h"
#include "board_fixture.h"

namespace snt_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes reg(std::uint8_t r, std::uint8_t v) { return {0xC0, r, v}; }

// The eight-register parameter block as the Si5351A lays it out.
Bytes block(std::uint8_t base, std::uint32_t p1, std::uint32_t p2, std::uint32_t p3, std::uint8_t rdiv_bits = 0,
            bool divby4 = false)
{
    return {0xC0,
            base,
            std::uint8_t(p3 >> 8),
            std::uint8_t(p3),
            std::uint8_t(rdiv_bits | ((p1 >> 16) & 3) | (divby4 ? 0x0C : 0)),
            std::uint8_t(p1 >> 8),
            std::uint8_t(p1),
            std::uint8_t(((p3 >> 12) & 0xF0) | ((p2 >> 16) & 0x0F)),
            std::uint8_t(p2 >> 8),
            std::uint8_t(p2)};
}
constexpr std::uint32_t kDen = 1048575;

// The PLL feedback fraction is truncated to 1/1048575 of the crystal: a
// planned output lands at most that share of the PLL below its request.
double tolerance(double hz) { return hz / (1048575.0 * 19) + 1e-6; } // the PLL multiplier is 19 or more

class Synth : public BoardTest {
protected:
    std::vector<Bytes> bus;
    std::vector<Cycles> bus_times;
    sim::BusMonitor monitor{board.scheduler(), board.gpiof(), [this](Cycles t, const Bytes &b) {
                                bus.push_back(b);
                                bus_times.push_back(t);
                            }};

    // Boots to the main loop and forgets the start-up traffic.
    void boot_quietly()
    {
        boot();
        bus.clear();
        bus_times.clear();
    }
    std::uint8_t set_freq(std::uint32_t f0, std::uint32_t f1, std::uint32_t f2)
    {
        return SNT_FW(board.firmware(), set_freq)(f0, f1, f2);
    }
    std::uint8_t is_freq_ok(int clk) { return SNT_FW(board.firmware(), is_freq_ok)(std::uint8_t(clk)); }
    // From the start-up state (3 MHz) with the bus record cleared.
    void at_three_megahertz()
    {
        boot_quietly();
        ASSERT_EQ(SNT_FW(board.firmware(), freq1), 3000000u);
    }
    double out(int clk) { return board.si5351().output_hz(clk); }
};

TEST_F(Synth, ParameterBlockPacking)
{
    // P1 3052, P2 742124, P3 1048575 into the PLL A block.
    EXPECT_EQ(block(26, 3052, 742124, kDen), (Bytes{0xC0, 26, 0xFF, 0xFF, 0x00, 0x0B, 0xEC, 0xFB, 0x52, 0xEC}));
    boot_quietly();
    auto &write_regs = SNT_FW(board.firmware(), si5351_write_regs);
    auto &msynth_int = SNT_FW(board.firmware(), si5351_setup_msynth_int);
    write_regs(26, 3052, 742124, kDen, 0, 0);
    msynth_int(42, 4, 0);
    msynth_int(58, 35, 0x20);
    write_regs(34, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x70, 1); // wider values lose their high bits
    ASSERT_EQ(bus.size(), 4u);
    EXPECT_EQ(bus[0], (Bytes{0xC0, 26, 0xFF, 0xFF, 0x00, 0x0B, 0xEC, 0xFB, 0x52, 0xEC}));
    EXPECT_EQ(bus[1], (Bytes{0xC0, 42, 0x00, 0x01, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bus[2], (Bytes{0xC0, 58, 0x00, 0x01, 0x20, 0x0F, 0x80, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bus[3], (Bytes{0xC0, 34, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(board.si5351().reg(44), 0x0C) << "the model stores the block by auto-increment";

    SNT_FW(board.firmware(), setup)(7, 4, 0xFF);
    EXPECT_EQ(SNT_FW(board.firmware(), power0), 3);
    EXPECT_EQ(SNT_FW(board.firmware(), power1), 0);
    EXPECT_EQ(SNT_FW(board.firmware(), power2), 3);
}

TEST_F(Synth, StartUpPowersDownResetsAndPlansThreeMegahertz)
{
    boot();
    const std::vector<Bytes> expected = {
        reg(16, 0x80),
        reg(17, 0x80),
        reg(18, 0x80), // setup
        reg(16, 0x80),
        reg(17, 0x80),
        reg(18, 0x80),  // set_xtal_freq with nothing requested
        reg(177, 0xA0), // both PLLs reset
        block(26, 3052, 742124, kDen),
        block(42, 29184, 0, 1),
        reg(16, 0x4F), // output 0, 3,001,000 Hz
        reg(18, 0x80), // output 2 stays off
        block(34, 3051, 545259, kDen),
        block(50, 29184, 0, 1),
        reg(17, 0x6F), // output 1, 3,000,000 Hz
        reg(177, 0xA0),
    };
    EXPECT_EQ(bus, expected);
    ASSERT_EQ(bus_times.size(), expected.size());
    EXPECT_GE(bus_times[7] - bus_times[6], ms(50)) << "50 ms of settling after the PLL reset";
    EXPECT_LT(bus_times[7] - bus_times[6], ms(52));
    EXPECT_GT(bus_times[0], serial.times().back()) << "the synthesizer is written after the banner";

    EXPECT_EQ(SNT_FW(board.firmware(), freq0_div), 232);
    EXPECT_EQ(SNT_FW(board.firmware(), freq1_div), 232);
    EXPECT_EQ(SNT_FW(board.firmware(), freq2_div), 0);
    EXPECT_EQ(SNT_FW(board.firmware(), freq_pll_b), 696000000u);
    EXPECT_EQ(SNT_FW(board.firmware(), VCOFreq_Mid), 700000000u);
    EXPECT_NEAR(out(0), 3000999.92, 0.005);
    EXPECT_NEAR(out(1), 3000000.0, 1e-6);
    EXPECT_EQ(out(2), 0.0);
    EXPECT_EQ(board.si5351().pll_resets(0), 2);
}

TEST_F(Synth, StepsInsideTheWindowRewriteOnlyThePlls)
{
    at_three_megahertz();
    EXPECT_EQ(set_freq(3002000, 3001000, 0), 0);
    EXPECT_EQ(bus, (std::vector<Bytes>{block(26, 3053, 939117, kDen), reg(18, 0x80), block(34, 3052, 742124, kDen)}));
    EXPECT_NEAR(out(1), 3001000.0, tolerance(3001000.0));

    bus.clear();
    // 3,449,000 x 232 leaves the window: output 0 gets divider 202; output 1 keeps 232.
    EXPECT_EQ(set_freq(3449000, 3448000, 0), 0x20);
    EXPECT_EQ(bus,
              (std::vector<Bytes>{block(26, 3055, 98287, kDen), block(42, 128 * 202 - 512, 0, 1), reg(16, 0x4F),
                                  reg(18, 0x80), block(34, 3583, 704895, kDen), reg(177, 0x20)}));
    EXPECT_EQ(SNT_FW(board.firmware(), freq0_div), 202);
    EXPECT_NEAR(out(0), 3449000.0, tolerance(3449000.0));
    EXPECT_NEAR(out(1), 3448000.0, tolerance(3448000.0));

    bus.clear();
    EXPECT_EQ(set_freq(3449000, 3448000, 0), 0);
    EXPECT_TRUE(bus.empty()) << "an unchanged request writes nothing";
}

TEST_F(Synth, FreshPlansAcrossTheRange)
{
    at_three_megahertz();
    struct Case {
        std::uint32_t f;
        std::uint16_t divider;
        std::uint8_t rdiv;
        bool ok;
    } cases[] = {
        {100000, 218, 5, true},
        {1000000, 175, 2, true},
        {150000000, 4, 0, true},
        {120000000, 4, 0, true},
        {175000000, 4, 0, true},
        {175000001, 0, 0, false},
        {18169, 300, 7, true}, // the lowest frequency the R divider
                               // can still reach
        {18168, 0, 0, false},  // would need R = 256: refused, not wrapped
        {2325581, 150, 1, true},
        {2325582, 300, 0, true},
    };
    for (const Case &c : cases) {
        set_freq(0, 0, 0);
        bus.clear();
        const std::uint8_t reset = set_freq(0, c.f, 0);
        EXPECT_EQ(is_freq_ok(1), c.ok ? 1 : 0) << c.f;
        if (!c.ok) {
            EXPECT_EQ(reset, 0) << c.f;
            EXPECT_EQ(board.si5351().reg(17), 0x80) << c.f;
            EXPECT_EQ(out(1), 0.0) << c.f;
            continue;
        }
        EXPECT_EQ(reset, 0x80) << c.f;
        EXPECT_EQ(SNT_FW(board.firmware(), freq1_div), c.divider) << c.f;
        EXPECT_EQ(SNT_FW(board.firmware(), freq1_rdiv), c.rdiv) << c.f;
        EXPECT_EQ(board.si5351().reg(52), (c.rdiv << 4) | (c.divider == 4 ? 0x0C : 0)) << c.f;
        EXPECT_NEAR(out(1), c.f, tolerance(c.f)) << c.f;
    }
}

TEST_F(Synth, CalibrationRoutesTheCrystalAndTheNextPlanTakesTheOutputsBack)
{
    board.si5351().set_xtal_hz(25000123.0); // the real crystal differs from the stored value
    at_three_megahertz();
    EXPECT_EQ(set_freq(5000000, 5000000, 5000000), 0xA0);
    EXPECT_EQ(bus[bus.size() - 3], block(58, 3968, 0, 1, 0x20));
    EXPECT_EQ(bus[bus.size() - 2], reg(18, 0x6C));
    EXPECT_EQ(SNT_FW(board.firmware(), freq2_div), 1);
    EXPECT_EQ(SNT_FW(board.firmware(), freq0_div), 140);

    bus.clear();
    SNT_FW(board.firmware(), out_calibrate_freq)();
    EXPECT_EQ(
        bus,
        (std::vector<Bytes>{reg(16, 3), reg(17, 3), reg(18, 0), reg(44, 0), reg(52, 0), reg(60, 0), reg(187, 0xD0)}));
    for (int clk = 0; clk < 3; ++clk) {
        EXPECT_DOUBLE_EQ(out(clk), 25000123.0) << "output " << clk << " carries the crystal";
        EXPECT_EQ(is_freq_ok(clk), 1) << "the plans are kept, so the next f needs no long wait";
    }
    EXPECT_EQ(SNT_FW(board.firmware(), freq0), 250000000u);

    // A plan that keeps divider 140 must still give outputs 0 and 1 their MultiSynth back.
    bus.clear();
    EXPECT_EQ(set_freq(5001000, 5000000, 0), 0xA0);
    EXPECT_NEAR(out(0), 5001000.0 * 25000123.0 / 25e6, 0.05);
    EXPECT_NEAR(out(1), 5000000.0 * 25000123.0 / 25e6, 0.05);
    EXPECT_EQ(out(2), 0.0);
    EXPECT_EQ(board.si5351().reg(16), 0x4F);
    EXPECT_EQ(board.si5351().reg(17), 0x6F);
    EXPECT_EQ(SNT_FW(board.firmware(), freq0_div), 140);
    bus.clear();
    EXPECT_EQ(set_freq(5002000, 5001000, 0), 0) << "afterwards steps are plain PLL steps again";
    EXPECT_EQ(bus.size(), 3u);
}

// After calibration every output leaves the crystal on the next plan, also
// when the request equals what the records hold (ten times the crystal).
TEST_F(Synth, CalibrationIsUndoneWhateverTheNextRequest)
{
    at_three_megahertz();
    SNT_FW(board.firmware(), out_calibrate_freq)();
    const std::uint32_t record = SNT_FW(board.firmware(), freq1);
    ASSERT_EQ(record, 250000000u);
    bus.clear();
    set_freq(record + 1000, record, 0);
    for (int clk = 0; clk < 3; ++clk) {
        EXPECT_EQ(out(clk), 0.0) << "output " << clk << " still carries the crystal";
        EXPECT_EQ(is_freq_ok(clk), 0) << "output " << clk << " has no plan at 250 MHz";
    }
    EXPECT_NE(std::find(bus.begin(), bus.end(), reg(17, 0x80)), bus.end()) << "output 1 powered down";
    EXPECT_EQ(SNT_FW(board.firmware(), clk_on_xtal), 0);
}

TEST_F(Synth, OutputTwoFractionalAndAlone)
{
    at_three_megahertz();
    EXPECT_EQ(set_freq(3001000, 3000000, 7000000), 0);
    EXPECT_EQ(bus, (std::vector<Bytes>{block(58, 5851, 449371, kDen, 0x10), reg(18, 0x2C)}));
    EXPECT_NEAR(out(2), 7000000.02, 0.01);
    EXPECT_EQ(SNT_FW(board.firmware(), freq2_div), 1);

    EXPECT_EQ(set_freq(3001000, 3000000, 100000000), 0);
    EXPECT_EQ(is_freq_ok(2), 0) << "696 MHz / 100 MHz is below 8";
    EXPECT_EQ(set_freq(3001000, 3000000, 83654), 0);
    EXPECT_EQ(is_freq_ok(2), 1) << "696 MHz / 83,654 Hz: R = 128";
    EXPECT_NEAR(out(2), 83654.0, 0.01);
    EXPECT_EQ(set_freq(3001000, 3000000, 83653), 0);
    EXPECT_EQ(is_freq_ok(2), 0) << "696 MHz / 83,653 Hz would need R = 256: refused";
    EXPECT_EQ(out(2), 0.0);

    set_freq(3001000, 3000000, 0);
    bus.clear();
    EXPECT_EQ(set_freq(3001000, 0, 7000000), 0x80);
    EXPECT_EQ(bus,
              (std::vector<Bytes>{reg(17, 0x80), block(34, 3072, 0, kDen), block(58, 12288, 0, 1), reg(18, 0x6C),
                                  reg(177, 0x80)}));
    EXPECT_EQ(SNT_FW(board.firmware(), freq_pll_b), 696000000u);
    EXPECT_NEAR(out(2), 7000000.0, 1e-6);

    bus.clear();
    EXPECT_EQ(set_freq(0, 0, 0), 0);
    EXPECT_EQ(bus, (std::vector<Bytes>{reg(16, 0x80), reg(17, 0x80), reg(18, 0x80)}));
    for (int clk = 0; clk < 3; ++clk) EXPECT_EQ(is_freq_ok(clk), 0);
    EXPECT_EQ(is_freq_ok(3), 0);
}

// ---- bus signalling

TEST_F(Synth, StartConditionRecoversAStuckDataLine)
{
    boot_quietly();
    PinTrace scl(board, board.gpiof(), 0);
    PinTrace sda(board, board.gpiof(), 1);
    auto &write_reg = SNT_FW(board.firmware(), si5351_write_reg);

    write_reg(16, 0x80);
    ASSERT_EQ(bus.size(), 1u);
    EXPECT_EQ(scl.rising_edges(), 9 * 3 + 1) << "idle bus: no recovery pulse, 27 bit clocks and the stop";

    for (int held : {3, 10}) {
        board.si5351().hold_sda_low(held);
        const Cycles from = board.now();
        write_reg(17, 0x80);
        EXPECT_EQ(scl.rising_edges(from), held + 9 * 3 + 1) << held << " recovery pulses, then the transaction";
        EXPECT_EQ(bus.back(), reg(17, 0x80));
    }

    const std::size_t logged = bus.size();
    board.si5351().hold_sda_low_forever();
    const Cycles from = board.now();
    const std::uint8_t before = board.si5351().reg(18);
    write_reg(18, 0x55);
    // Eleven pulses leave the clock high, so the first bit of the address
    // byte adds no rising edge; all other bits and the stop do.
    EXPECT_EQ(scl.rising_edges(from), 11 + 9 * 3 - 1 + 1) << "eleven pulses, then the bytes are clocked out anyway";
    EXPECT_EQ(bus.size(), logged) << "no start and no stop condition reached the bus";
    EXPECT_EQ(board.si5351().reg(18), before);
    board.si5351().release_sda();
    write_reg(18, 0x80);
    EXPECT_EQ(bus.back(), reg(18, 0x80)) << "the next transaction works again";
    EXPECT_EQ(board.gpioa().level(2), sim::Level::Low) << "every bus wait leaves PA2 low";
}

TEST_F(Synth, AcknowledgeAndLineStates)
{
    boot_quietly();
    auto &begin = SNT_FW(board.firmware(), i2c_begin_write);
    auto &write = SNT_FW(board.firmware(), i2c_write);
    auto &end = SNT_FW(board.firmware(), i2c_end);

    EXPECT_EQ(begin(0x60), 1u);
    EXPECT_EQ(board.gpiof().level(0), sim::Level::Low);
    EXPECT_EQ(board.gpiof().level(1), sim::Level::Low) << "after a byte both lines are low";
    EXPECT_EQ(write(16), 1u);
    EXPECT_EQ(write(0xFF), 1u);
    end();
    EXPECT_EQ(board.gpiof().level(0), sim::Level::High);
    EXPECT_EQ(board.gpiof().level(1), sim::Level::High);

    EXPECT_EQ(begin(0x61), 0u) << "another address is not acknowledged";
    end();
    board.si5351().set_acknowledge(false);
    EXPECT_EQ(begin(0x60), 0u) << "a deaf device leaves the line high in the acknowledge clock";
    EXPECT_EQ(write(0x01), 0u) << "whatever the last bit was";
    end();

    // A one-register write: 61 bus waits of ten PA2 pulses, about 0.3 ms.
    board.si5351().set_acknowledge(true);
    const Cycles start = board.now();
    SNT_FW(board.firmware(), si5351_write_reg)(16, 0x80);
    EXPECT_GT(board.now() - start, us(250));
    EXPECT_LT(board.now() - start, us(450));
}

} // namespace
} // namespace snt_test
