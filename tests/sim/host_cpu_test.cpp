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
    // The ADC, whose handler's reads are quiet while the stores may be.
    const sim::Adc &aa = a.board.adc(), &ab = b.board.adc();
    for (const std::uint32_t r : {sim::Adc::kIsr, sim::Adc::kDr, sim::Adc::kCr})
        EXPECT_EQ(aa.reg(r), ab.reg(r)) << what << ", ADC register " << r;
    EXPECT_EQ(aa.conversions(), ab.conversions()) << what;
    EXPECT_EQ(aa.overruns(), ab.overruns()) << what;
    EXPECT_EQ(a.board.nvic().irq_pending(sim::kAdcIrq), b.board.nvic().irq_pending(sim::kAdcIrq)) << what;
    const sim::HandlerFigures ha = a.board.cpu().handler(sim::kIrqBase + sim::kAdcIrq),
                              hb = b.board.cpu().handler(sim::kIrqBase + sim::kAdcIrq);
    EXPECT_EQ(ha.count, hb.count) << what << ": ADC handler entries";
    EXPECT_EQ(ha.cycles_total, hb.cycles_total) << what;
    EXPECT_EQ(ha.cycles_max, hb.cycles_max) << what;
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

// The ADC handler's quiet reads of ISR and DR (snt_host::QuietStores::
// read_attention) against the Port's: a sweep's samples as they come, with
// a line arriving while they do (the receiver's interrupt pends during the
// ADC's handlers), and with the run stopped every few cycles, so that
// stops and events fall on and next to the handler's reads. The start-up's
// wait for the ADC to be ready (a polling loop on ISR) runs in every case.
TEST(QuietReads, SamplesAsOnThePort)
{
    struct Case {
        const char *what;
        Cycles step;      // 0: to the end at once
        bool line_during; // a line sent while the sweep samples
    };
    for (const Case c : {Case{"plain", 0, false}, Case{"a line arriving", 0, true},
                         Case{"stops every 3 cycles", 3, false}, Case{"stops every 37 cycles", 37, true}}) {
        FirmwareRun open(DoneReads::BoardState), shut(DoneReads::Anything);
        ASSERT_TRUE(open.started && shut.started) << c.what;
        expect_same(shut, open, std::string("start-up, ") + c.what);
        for (FirmwareRun *run : {&open, &shut}) {
            sim::Board &board = run->board;
            // A run to a time, its end tested as the run's other tests are.
            const auto run_for = [&](Cycles cycles) {
                const Cycles end = board.now() + cycles;
                board.run_until([&] { return board.now() >= end; }, cycles, run->stop_reads);
            };
            run->send("r 10000 2\r");
            const Cycles sampling = board.now() + ms(30);
            while (board.now() < sampling) run_for(c.step != 0 ? c.step : sampling - board.now());
            if (c.line_during) run->send("w\r");
            ASSERT_TRUE(board.run_until([&] { return board.firmware_idle(); }, ms(500), run->stop_reads)) << c.what;
        }
        EXPECT_GT(shut.board.adc().conversions(), 500u) << c.what << ": the sweep sampled";
        expect_same(shut, open, c.what);
    }
}

} // namespace
