// The host build's quiet stores (snt_host::QuietStores): the firmware's
// stores to an output latch nobody listens to, made in the module without a
// call to the board, must leave every run exactly as the board's own path
// does: the same time, access count, pin levels and replies.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "board_fixture.h"

namespace {

using snt_test::Cycles;
using snt_test::ms;
using DoneReads = sim::Board::DoneReads;

// A board with the firmware started; `stop_reads` is what every run's end
// test reads: BoardState opens the quiet stores, Anything keeps them shut.
struct FirmwareRun {
    explicit FirmwareRun(DoneReads reads, bool trace_pa2 = false) : stop_reads(reads)
    {
        if (trace_pa2) pa2.emplace(board, board.gpioa(), 2);
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
    std::optional<snt_test::PinTrace> pa2;
    bool started = false;
};

void expect_same(FirmwareRun &a, FirmwareRun &b, const std::string &what)
{
    EXPECT_EQ(a.board.now(), b.board.now()) << what;
    EXPECT_EQ(a.board.accesses(), b.board.accesses()) << what;
    EXPECT_EQ(a.serial.text(), b.serial.text()) << what;
    EXPECT_EQ(a.serial.times(), b.serial.times()) << what;
    EXPECT_EQ(a.board.gpioa().odr(), b.board.gpioa().odr()) << what;
}

// Start-up and a few commands that drive the synthesizer's bus (and so the
// delay loops that toggle PA2), a sweep among them, with the stores open,
// shut, and on a port that is listened to.
TEST(QuietStores, RunsAsTheBoardsOwnPath)
{
    FirmwareRun open(DoneReads::BoardState), shut(DoneReads::Anything), heard(DoneReads::BoardState, true);
    ASSERT_TRUE(open.started && shut.started && heard.started);
    expect_same(shut, open, "start-up");
    expect_same(shut, heard, "start-up, PA2 listened to");
    for (const std::string line : {"f 7000000\r", "r 10000 5\r", "f 1000000\r"}) {
        ASSERT_TRUE(open.until_idle_after(line) && shut.until_idle_after(line) && heard.until_idle_after(line));
        expect_same(shut, open, line);
        expect_same(shut, heard, line + ", PA2 listened to");
    }
    EXPECT_GT(heard.pa2->rising_edges(), 1000) << "the delay loops toggled PA2";
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
