// The two-wire bus decoder, the Si5351A model and the bus log, driven by a
// small bit-banging master on a port of their own.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board/bench/bus_monitor.h"
#include "board/bench/si5351.h"
#include "board/bench/two_wire.h"
#include "board/peripherals/gpio.h"
#include "board/peripherals/scheduler.h"

namespace {

using sim::Cycles;
using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------ the decoder

// Writes down what the decoder reports, except rising edges, which it counts.
struct Recorder : sim::TwoWireListener {
    std::vector<std::string> events;
    int rises = 0;
    void on_start() override { events.push_back("S"); }
    void on_stop() override { events.push_back("P"); }
    void on_byte(std::uint8_t value, bool acked) override
    {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%02X%s", value, acked ? "+" : "-");
        events.push_back(buf);
    }
    void on_scl_rise() override { ++rises; }
    void on_scl_fall(int bit) override { events.push_back("f" + std::to_string(bit)); }
};

std::string joined(const std::vector<std::string> &v)
{
    std::string s;
    for (const auto &e : v) s += (s.empty() ? "" : " ") + e;
    return s;
}

TEST(TwoWireDecoder, FramesBytesBetweenStartAndStop)
{
    Recorder rec;
    sim::TwoWireDecoder dec(rec);
    dec.on_levels(true, false); // start
    EXPECT_TRUE(dec.in_transaction());
    dec.on_levels(false, false);
    const std::uint8_t byte = 0xA5;
    for (int i = 7; i >= 0; --i) {
        const bool bit = (byte >> i) & 1;
        dec.on_levels(false, bit);
        dec.on_levels(true, bit);
        dec.on_levels(false, bit);
    }
    EXPECT_EQ(dec.bits_in_frame(), 8);
    EXPECT_EQ(dec.data_bits(), 0xA5);
    dec.on_levels(false, false); // the receiver acknowledges
    dec.on_levels(true, false);
    EXPECT_EQ(dec.bits_in_frame(), 9);
    dec.on_levels(false, false);
    EXPECT_EQ(dec.bits_in_frame(), 0);
    dec.on_levels(true, false);
    dec.on_levels(true, true); // stop
    EXPECT_FALSE(dec.in_transaction());
    EXPECT_EQ(joined(rec.events), "S f0 f1 f2 f3 f4 f5 f6 f7 f8 A5+ f9 P");
    EXPECT_EQ(rec.rises, 10) << "nine clocks of the frame and the one before the stop";

    // Clock pulses outside a transaction are not framed.
    rec.events.clear();
    dec.on_levels(false, true);
    dec.on_levels(true, true);
    dec.on_levels(false, true);
    EXPECT_EQ(joined(rec.events), "f0 f0");
    EXPECT_EQ(dec.bits_in_frame(), 0);
}

TEST(TwoWireDecoder, BothLinesChangingAtOnceIsADataChangeNotAStartOrStop)
{
    Recorder rec;
    sim::TwoWireDecoder dec(rec);
    dec.on_levels(true, false); // start
    dec.on_levels(false, false);
    dec.on_levels(true, true);   // SDA rises, then SCL: samples a 1
    dec.on_levels(false, false); // SCL falls, then SDA
    dec.on_levels(true, true);
    dec.on_levels(true, false); // a real repeated start
    EXPECT_EQ(joined(rec.events), "S f0 f1 S");
    EXPECT_EQ(dec.bits_in_frame(), 0);

    dec.on_levels(false, false);
    dec.on_levels(true, true); // SDA up while SCL is low, then SCL up: no stop
    EXPECT_TRUE(dec.in_transaction());
    EXPECT_EQ(dec.data_bits(), 1);
}

// A receiver that acknowledges from inside the decoder's callbacks, as a
// device on a port does: its line change reaches the decoder while the
// decoder is still reporting the clock edge.
struct Acknowledger : Recorder {
    sim::TwoWireDecoder *dec = nullptr;
    void on_scl_fall(int bit) override
    {
        Recorder::on_scl_fall(bit);
        if (bit == 8) dec->on_levels(false, false);
        if (bit == 9) dec->on_levels(false, true);
    }
};

TEST(TwoWireDecoder, ListenerMayMoveSdaFromItsCallbacks)
{
    Acknowledger ack;
    sim::TwoWireDecoder dec(ack);
    ack.dec = &dec;
    dec.on_levels(true, false);
    dec.on_levels(false, false);
    for (int i = 0; i < 8; ++i) {
        dec.on_levels(false, true);
        dec.on_levels(true, true);
        dec.on_levels(false, true); // the master's view: SDA still released
        if (i == 7) {
            EXPECT_FALSE(dec.sda()) << "the receiver's pull was taken after the clock edge";
        }
    }
    dec.on_levels(true, false);
    dec.on_levels(false, false);
    EXPECT_TRUE(dec.sda()) << "released after the acknowledge clock";
    EXPECT_TRUE(dec.in_transaction());
    EXPECT_EQ(joined(ack.events), "S f0 f1 f2 f3 f4 f5 f6 f7 f8 FF+ f9");
}

// ---------------------------------------------------- the device on a bus

struct AckSlot {
    bool low_before_clock; // SDA low as soon as SCL fell after the 8th bit
    bool acked;            // SDA low while SCL is high in the 9th clock
    bool released;         // SDA high again after the 9th clock
};

class Si5351Bus : public ::testing::Test {
protected:
    static constexpr std::uint32_t kModer = 0x00, kOtyper = 0x04, kIdr = 0x10, kBsrr = 0x18, kBrr = 0x28;
    static constexpr Cycles kHalf = 20; // 2.5 us: a 100 kHz clock

    sim::Scheduler sched;
    sim::Gpio port{'F', 0, 0};
    // The device is notified of pin changes before the monitor, so the
    // monitor sees the device's acknowledge inside the port's notification
    // of the clock edge that triggers it.
    sim::Si5351Model chip{port};
    std::vector<std::pair<Cycles, Bytes>> log;
    sim::BusMonitor monitor{sched, port, [this](Cycles t, const Bytes &b) { log.emplace_back(t, b); }};

    void SetUp() override
    {
        port.reset();
        port.set_external(sim::kSclPin, sim::Gpio::External::PullUp);
        port.set_external(sim::kSdaPin, sim::Gpio::External::PullUp);
        port.write(kBsrr, 3u, 4);                     // both lines released
        port.write(kModer, (1u << 0) | (1u << 2), 4); // PF0, PF1 outputs
        port.write(kOtyper, 3u, 4);                   // open drain
    }

    // ---- the master
    void line(int pin, bool high)
    {
        port.write(high ? kBsrr : kBrr, 1u << pin, 4);
        sched.advance_to(sched.now() + kHalf);
    }
    void scl(bool high) { line(sim::kSclPin, high); }
    void sda(bool high) { line(sim::kSdaPin, high); }
    bool sda_in() { return (port.read(kIdr, 4) & 2u) != 0; }
    void pulse()
    {
        scl(true);
        scl(false);
    }
    void start() // also a repeated start, from SCL low
    {
        sda(true);
        scl(true);
        sda(false);
        scl(false);
    }
    // Returns the time of the stop condition.
    Cycles stop()
    {
        sda(false);
        scl(true);
        const Cycles t = sched.now();
        sda(true);
        return t;
    }
    AckSlot write_byte(std::uint8_t b)
    {
        for (int i = 7; i >= 0; --i) {
            sda((b >> i) & 1);
            pulse();
        }
        AckSlot slot{};
        sda(true); // release the line for the receiver
        slot.low_before_clock = !sda_in();
        scl(true);
        slot.acked = !sda_in();
        scl(false);
        slot.released = sda_in();
        return slot;
    }
    // Writes `values` from register `first` on; true when every byte was
    // acknowledged.
    bool write_regs(int first, const Bytes &values)
    {
        start();
        bool all = write_byte(0xC0).acked;
        all = write_byte(static_cast<std::uint8_t>(first)).acked && all;
        for (auto v : values) all = write_byte(v).acked && all;
        stop();
        return all;
    }
};

// The eight registers of a PLL or MultiSynth block; `byte2` adds the R
// divider and DIVBY4 bits.
Bytes block(std::uint32_t p1, std::uint32_t p2, std::uint32_t p3, std::uint8_t byte2 = 0)
{
    auto b = [](std::uint32_t v) { return static_cast<std::uint8_t>(v & 0xFFu); };
    return {b(p3 >> 8), b(p3), b(byte2 | ((p1 >> 16) & 3u)),
            b(p1 >> 8), b(p1), b((((p3 >> 16) & 0xFu) << 4) | ((p2 >> 16) & 0xFu)),
            b(p2 >> 8), b(p2)};
}

TEST_F(Si5351Bus, PowersUpWithOutputsDownAndNoFrequencies)
{
    for (int n = 16; n <= 23; ++n) EXPECT_EQ(chip.reg(n), 0x80) << "CLK" << n - 16 << " powered down";
    EXPECT_EQ(chip.reg(3), 0x00);
    EXPECT_EQ(chip.reg(187), 0x00);
    EXPECT_EQ(chip.reg(183), 0xD2);
    EXPECT_EQ(chip.pll_hz(0), 0.0) << "P3 = 0 is no valid PLL";
    EXPECT_FALSE(chip.pll_in_range(1));
    for (int clk = 0; clk < 3; ++clk) EXPECT_EQ(chip.output_hz(clk), 0.0);
    EXPECT_EQ(port.level(sim::kSdaPin), sim::Level::High) << "the device does not touch an idle bus";
}

TEST_F(Si5351Bus, WriteStoresBytesFromTheRegisterAddressOnAndAcknowledgesEach)
{
    start();
    for (std::uint8_t b : {0xC0, 0x10, 0x4F, 0x6F, 0x4B}) {
        const AckSlot slot = write_byte(b);
        EXPECT_TRUE(slot.low_before_clock) << std::hex << int(b);
        EXPECT_TRUE(slot.acked) << std::hex << int(b);
        EXPECT_TRUE(slot.released) << std::hex << int(b);
    }
    EXPECT_EQ(chip.reg(16), 0x4F);
    EXPECT_EQ(chip.reg(17), 0x6F);
    EXPECT_EQ(chip.reg(18), 0x4B);
    EXPECT_EQ(chip.reg(19), 0x80);
    stop();
    EXPECT_EQ(port.level(sim::kSdaPin), sim::Level::High) << "released back to the pull-up";

    // A new transaction starts from its own register address.
    EXPECT_TRUE(write_regs(19, {0x0C}));
    EXPECT_EQ(chip.reg(19), 0x0C);
    EXPECT_EQ(chip.reg(18), 0x4B);

    // The address wraps from 255 to 0 (read-only: the byte is dropped) and on.
    EXPECT_TRUE(write_regs(254, {0x11, 0x22, 0x33, 0x44}));
    EXPECT_EQ(chip.reg(254), 0x11);
    EXPECT_EQ(chip.reg(255), 0x22);
    EXPECT_EQ(chip.reg(0), 0x00);
    EXPECT_EQ(chip.reg(1), 0x44);
}

TEST_F(Si5351Bus, OtherAddressesAndAMuteDeviceGetNoAcknowledgeAndChangeNothing)
{
    start();
    EXPECT_FALSE(write_byte(0xC2).acked) << "0x61 is not this device";
    EXPECT_FALSE(write_byte(0x10).acked);
    EXPECT_FALSE(write_byte(0x00).acked);
    stop();
    EXPECT_EQ(chip.reg(16), 0x80);

    chip.set_acknowledge(false);
    EXPECT_FALSE(write_regs(16, {0x4F}));
    EXPECT_EQ(chip.reg(16), 0x80) << "a device that does not listen is not written";

    chip.set_acknowledge(true);
    EXPECT_TRUE(write_regs(16, {0x4F}));
    EXPECT_EQ(chip.reg(16), 0x4F);
}

TEST_F(Si5351Bus, ReadAddressIsAcknowledgedButTheDeviceSendsAndStoresNothing)
{
    start();
    EXPECT_TRUE(write_byte(0xC1).acked);
    // The master clocks a byte in with SDA released; the device stays quiet.
    EXPECT_FALSE(write_byte(0xFF).acked);
    EXPECT_FALSE(write_byte(0x4F).acked);
    stop();
    for (int n = 16; n <= 23; ++n) EXPECT_EQ(chip.reg(n), 0x80);
    EXPECT_EQ(chip.reg(0x4F), 0x00);
    EXPECT_EQ(chip.reg(0xFF), 0x00);
}

TEST_F(Si5351Bus, RepeatedStartBeginsANewTransferAndEndsTheLoggedTransaction)
{
    start();
    EXPECT_TRUE(write_byte(0xC0).acked);
    EXPECT_TRUE(write_byte(0x10).acked);
    sda(true);
    scl(true);
    const Cycles restart = sched.now();
    sda(false); // repeated start
    scl(false);
    EXPECT_TRUE(write_byte(0xC0).acked);
    EXPECT_TRUE(write_byte(0x11).acked);
    EXPECT_TRUE(write_byte(0x55).acked);
    const Cycles end = stop();
    EXPECT_EQ(chip.reg(16), 0x80) << "the register address alone writes nothing";
    EXPECT_EQ(chip.reg(17), 0x55);

    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], std::make_pair(restart, Bytes{0xC0, 0x10}));
    EXPECT_EQ(log[1], std::make_pair(end, Bytes{0xC0, 0x11, 0x55}));
}

TEST_F(Si5351Bus, PllResetsAreCountedNotKept)
{
    EXPECT_TRUE(write_regs(177, {0xA0}));
    EXPECT_EQ(chip.pll_resets(0), 1);
    EXPECT_EQ(chip.pll_resets(1), 1);
    EXPECT_EQ(chip.reg(177), 0x00) << "the reset bits clear themselves";
    EXPECT_TRUE(write_regs(177, {0x20}));
    EXPECT_TRUE(write_regs(177, {0x20}));
    EXPECT_EQ(chip.pll_resets(0), 3);
    EXPECT_EQ(chip.pll_resets(1), 1);
}

TEST_F(Si5351Bus, MonitorLogsEveryClockedByteWithTheStopTime)
{
    std::vector<std::pair<int, int>> writes;
    chip.on_register_write([&writes](int n, std::uint8_t v) { writes.emplace_back(n, v); });
    const Cycles begin = sched.now();
    EXPECT_TRUE(write_regs(16, {0x80, 0x4F}));
    const Cycles first_end = sched.now() - kHalf;
    start();
    write_byte(0xC2);
    write_byte(0x99);
    const Cycles second_end = stop();
    start();
    const Cycles empty_end = stop();
    // Clocking outside a transaction, as when freeing a stuck bus, is not logged.
    scl(false);
    for (int i = 0; i < 9; ++i) pulse();
    stop();

    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].second, (Bytes{0xC0, 0x10, 0x80, 0x4F}));
    EXPECT_EQ(log[0].first, first_end);
    EXPECT_GT(log[0].first, begin + Cycles{4} * 9 * 2 * kHalf) << "logged at the stop, not at the start";
    EXPECT_EQ(log[1], std::make_pair(second_end, Bytes{0xC2, 0x99})) << "unacknowledged bytes are logged too";
    EXPECT_EQ(log[2], std::make_pair(empty_end, Bytes{}));
    EXPECT_EQ(monitor.transactions(), 3u);
    EXPECT_EQ(writes, (std::vector<std::pair<int, int>>{{16, 0x80}, {17, 0x4F}}));
}

TEST_F(Si5351Bus, HeldSdaIsReleasedAfterExactlyThatManyClockPulses)
{
    start(); // SCL low from here
    chip.hold_sda_low(3);
    sda(true); // the master lets go; the device does not
    EXPECT_FALSE(sda_in());
    pulse();
    pulse();
    scl(true);
    EXPECT_FALSE(sda_in()) << "still held in the high phase of the 3rd pulse";
    EXPECT_TRUE(chip.holding_sda());
    scl(false);
    EXPECT_TRUE(sda_in()) << "released when the 3rd pulse ends";
    EXPECT_FALSE(chip.holding_sda());
    EXPECT_EQ(port.level(sim::kSdaPin), sim::Level::High) << "back on the pull-up";
    pulse();
    EXPECT_TRUE(sda_in());
    stop();

    start();
    chip.hold_sda_low_forever();
    sda(true);
    for (int i = 0; i < 20; ++i) pulse();
    EXPECT_FALSE(sda_in());
    chip.release_sda();
    EXPECT_TRUE(sda_in());
    stop();
    // Being stuck did not upset the device's own handling of the bus.
    EXPECT_TRUE(write_regs(16, {0x4F}));
    EXPECT_EQ(chip.reg(16), 0x4F);
}

// ------------------------------------------------------------ frequencies

TEST_F(Si5351Bus, OutputsFromFractionalPllsAndIntegerMultiSynths)
{
    // PLL A: 25 MHz * (27 + 890533/1048575) = 696,231,981.4987 Hz, / 232.
    ASSERT_TRUE(write_regs(26, block(3052, 742124, 1048575)));
    ASSERT_TRUE(write_regs(42, block(29184, 0, 1)));
    ASSERT_TRUE(write_regs(16, {0x4F}));
    EXPECT_NEAR(chip.pll_hz(0), 696231981.4987, 1e-3);
    EXPECT_TRUE(chip.pll_in_range(0));
    EXPECT_NEAR(chip.multisynth_hz(0), 3000999.92025, 1e-4);
    EXPECT_NEAR(chip.output_hz(0), 3000999.92025, 1e-4);

    // PLL B: 25 MHz * (27 + 880/1000) = 696 MHz exactly, / 232 on CLK1.
    ASSERT_TRUE(write_regs(34, block(3051, 545259, 1048575)));
    ASSERT_TRUE(write_regs(50, block(29184, 0, 1)));
    ASSERT_TRUE(write_regs(17, {0x6F}));
    EXPECT_NEAR(chip.pll_hz(1), 696e6, 1e-3);
    EXPECT_NEAR(chip.output_hz(1), 3'000'000.0, 1e-3);
    EXPECT_NEAR(chip.output_hz(0), 3000999.92025, 1e-4) << "CLK0 stays on PLL A";

    // The same MultiSynth moved to PLL B.
    ASSERT_TRUE(write_regs(16, {0x6F}));
    EXPECT_NEAR(chip.output_hz(0), 3'000'000.0, 1e-3);

    // A VCO outside 600..900 MHz is still computed, and reported.
    ASSERT_TRUE(write_regs(26, block(128 * 40 - 512, 0, 1)));
    EXPECT_NEAR(chip.pll_hz(0), 1e9, 1e-3);
    EXPECT_FALSE(chip.pll_in_range(0));
}

TEST_F(Si5351Bus, DivideByFourAndTheRDivider)
{
    ASSERT_TRUE(write_regs(26, block(3052, 742124, 1048575)));
    ASSERT_TRUE(write_regs(42, block(0, 0, 1, 0x0C))); // MS0_DIVBY4
    ASSERT_TRUE(write_regs(16, {0x4F}));
    EXPECT_NEAR(chip.output_hz(0), 696231981.4987 / 4, 1e-3);

    ASSERT_TRUE(write_regs(42, block(0, 0, 1, 0x04))); // only one DIVBY4 bit: (0 + 512) / 128
    EXPECT_NEAR(chip.output_hz(0), 696231981.4987 / 4, 1e-3);
    ASSERT_TRUE(write_regs(42, block(128 * 10 - 512, 0, 1, 0x04)));
    EXPECT_NEAR(chip.output_hz(0), 696231981.4987 / 10, 1e-3) << "DIVBY4 needs both bits";

    ASSERT_TRUE(write_regs(42, block(29184, 0, 1, 0x50))); // R0_DIV = 5
    EXPECT_NEAR(chip.multisynth_hz(0), 3000999.92025, 1e-4);
    EXPECT_NEAR(chip.output_hz(0), 3000999.92025 / 32, 1e-5);

    ASSERT_TRUE(write_regs(42, block(29184, 0, 0)));
    EXPECT_EQ(chip.output_hz(0), 0.0) << "P3 = 0";
}

TEST_F(Si5351Bus, CrystalRoutingAndTheModelsOwnCrystal)
{
    ASSERT_TRUE(write_regs(16, {0x03}));
    EXPECT_EQ(chip.output_hz(0), 0.0) << "no crystal fanout at power-up";
    ASSERT_TRUE(write_regs(187, {0xD0}));
    EXPECT_DOUBLE_EQ(chip.output_hz(0), 25e6);
    ASSERT_TRUE(write_regs(44, {0x10})); // R0_DIV = 1 follows the source selector
    EXPECT_DOUBLE_EQ(chip.output_hz(0), 12.5e6);

    ASSERT_TRUE(write_regs(34, block(3051, 545259, 1048575)));
    ASSERT_TRUE(write_regs(50, block(29184, 0, 1)));
    ASSERT_TRUE(write_regs(17, {0x6F}));
    chip.set_xtal_hz(25'000'123);
    EXPECT_DOUBLE_EQ(chip.xtal_hz(), 25'000'123);
    EXPECT_DOUBLE_EQ(chip.output_hz(0), 25'000'123 / 2.0);
    EXPECT_NEAR(chip.output_hz(1), 3e6 * 25'000'123 / 25e6, 1e-3);
    EXPECT_NEAR(chip.output_hz(1), 3'000'014.76, 1e-2);
}

TEST_F(Si5351Bus, PowerDownAndTheOtherSources)
{
    ASSERT_TRUE(write_regs(26, block(3052, 742124, 1048575)));
    ASSERT_TRUE(write_regs(42, block(29184, 0, 1)));
    ASSERT_TRUE(write_regs(16, {0xCF}));
    EXPECT_EQ(chip.output_hz(0), 0.0) << "CLK0_PDN";
    EXPECT_NEAR(chip.multisynth_hz(0), 3000999.92025, 1e-4) << "the driver is off, not the MultiSynth";

    // CLK1 from MultiSynth 0 through the fanout, divided by its own R.
    ASSERT_TRUE(write_regs(52, {0x20})); // R1_DIV = 2
    ASSERT_TRUE(write_regs(17, {0x0B}));
    EXPECT_EQ(chip.output_hz(1), 0.0) << "MS_FANOUT_EN off";
    ASSERT_TRUE(write_regs(187, {0x10}));
    EXPECT_NEAR(chip.output_hz(1), 3000999.92025 / 4, 1e-4);

    ASSERT_TRUE(write_regs(18, {0x07})); // CLKIN
    ASSERT_TRUE(write_regs(187, {0xD0}));
    EXPECT_EQ(chip.output_hz(2), 0.0) << "the Si5351A has no CLKIN";

    EXPECT_TRUE(chip.output_enabled(2));
    ASSERT_TRUE(write_regs(3, {0x04}));
    EXPECT_FALSE(chip.output_enabled(2));
    EXPECT_TRUE(chip.output_enabled(1));
    EXPECT_THROW(chip.output_hz(3), std::out_of_range);
    EXPECT_THROW(chip.pll_hz(2), std::out_of_range);
}

} // namespace
