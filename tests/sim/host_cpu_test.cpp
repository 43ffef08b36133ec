// The host build's quiet stores (snt_host::QuietStores): the firmware's
// stores to an output latch nobody listens to, made in the module without a
// call to the board, and its stores to the synthesizer's bus pins, handed
// to the port without the Port's checks, must leave every run exactly as
// the board's own path does: the same time, access count, pin levels,
// synthesizer registers and replies.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "board_fixture.h"

namespace {

using snt_test::Cycles;
using snt_test::ms;
using DoneReads = sim::Board::DoneReads;

// What else listens to the firmware's pins: a trace of PA2, which the
// delay loops toggle, or of PF0, the bus clock. Either reads the time, and
// so keeps that port's stores on the Port.
enum class Traced { Nothing, Pa2, Pf0 };

// A board with the firmware started; `stop_reads` is what every run's end
// test reads: BoardState opens the quiet stores, Anything keeps them shut.
struct FirmwareRun {
    explicit FirmwareRun(DoneReads reads, Traced traced = Traced::Nothing) : stop_reads(reads)
    {
        if (traced == Traced::Pa2) trace.emplace(board, board.gpioa(), 2);
        if (traced == Traced::Pf0) trace.emplace(board, board.gpiof(), 0);
        started = board.run_until([this] { return board.firmware_idle(); }, ms(200), stop_reads);
    }
    void send(const std::string &line)
    {
        board.usart().host_send(reinterpret_cast<const std::uint8_t *>(line.data()), line.size());
    }
    bool until_idle_after(const std::string &line)
    {
        send(line);
        const Cycles arrival = board.usart().host_send_done_at();
        board.run_until([&] { return board.now() >= arrival; }, ms(100));
        return board.run_until([this] { return board.firmware_idle(); }, ms(500), stop_reads);
    }

    DoneReads stop_reads;
    sim::SimBoard board;
    snt_test::SerialCapture serial{board};
    std::optional<snt_test::PinTrace> trace;
    bool started = false;
};

void expect_same(FirmwareRun &a, FirmwareRun &b, const std::string &what)
{
    EXPECT_EQ(a.board.now(), b.board.now()) << what;
    EXPECT_EQ(a.board.accesses(), b.board.accesses()) << what;
    EXPECT_EQ(a.serial.text(), b.serial.text()) << what;
    EXPECT_EQ(a.serial.times(), b.serial.times()) << what;
    EXPECT_EQ(a.board.gpioa().odr(), b.board.gpioa().odr()) << what;
    EXPECT_EQ(a.board.gpiof().odr(), b.board.gpiof().odr()) << what;
    const sim::Si5351Model &sa = a.board.si5351(), &sb = b.board.si5351();
    for (int n = 0; n < 256; ++n) ASSERT_EQ(sa.reg(n), sb.reg(n)) << what << ", synthesizer register " << n;
    EXPECT_EQ(sa.revision(), sb.revision()) << what << ": register stores";
    EXPECT_EQ(sa.pll_resets(0), sb.pll_resets(0)) << what;
    EXPECT_EQ(sa.pll_resets(1), sb.pll_resets(1)) << what;
}

// Start-up and a few commands that drive the synthesizer's bus (and so the
// delay loops that toggle PA2), a sweep among them, with the stores open,
// shut, and on a port that is listened to by something other than a bus
// device.
TEST(QuietStores, RunsAsTheBoardsOwnPath)
{
    FirmwareRun open(DoneReads::BoardState), shut(DoneReads::Anything);
    FirmwareRun pa2(DoneReads::BoardState, Traced::Pa2), pf0(DoneReads::BoardState, Traced::Pf0);
    const std::pair<FirmwareRun *, const char *> others[] = {
        {&open, ""}, {&pa2, ", PA2 listened to"}, {&pf0, ", the bus clock listened to"}};
    ASSERT_TRUE(shut.started);
    for (const auto &[run, how] : others) {
        ASSERT_TRUE(run->started) << how;
        expect_same(shut, *run, std::string("start-up") + how);
    }
    for (const std::string line : {"f 7000000\r", "r 10000 5\r", "f 1000000\r"}) {
        ASSERT_TRUE(shut.until_idle_after(line));
        for (const auto &[run, how] : others) {
            ASSERT_TRUE(run->until_idle_after(line)) << line << how;
            expect_same(shut, *run, line + how);
        }
    }
    EXPECT_GT(pa2.trace->rising_edges(), 1000) << "the delay loops toggled PA2";
    EXPECT_GT(pf0.trace->rising_edges(), 100) << "the firmware clocked the bus";
    EXPECT_GT(open.board.si5351().revision(), 20u) << "the firmware programmed the synthesizer";
}

// A run that ends at a time stops at the same access whichever path the
// stores take, also in the middle of a delay loop's stores (every one takes
// two cycles: odd limits fall inside one).
TEST(QuietStores, ARunForStopsAtTheSameAccess)
{
    for (const Cycles step : {Cycles{1}, Cycles{2}, Cycles{7}, Cycles{333}, ms(1)}) {
        FirmwareRun open(DoneReads::BoardState), shut(DoneReads::Anything);
        ASSERT_TRUE(open.started && shut.started);
        open.send("f 7000000\r");
        shut.send("f 7000000\r");
        for (int i = 0; i < 40; ++i) {
            open.board.run_for(step);
            const Cycles end = shut.board.now() + step;
            shut.board.run_until([&] { return shut.board.now() >= end; }, step);
            ASSERT_EQ(shut.board.now(), open.board.now()) << "step " << step << ", run " << i;
            ASSERT_EQ(shut.board.accesses(), open.board.accesses()) << "step " << step << ", run " << i;
        }
    }
}

} // namespace
