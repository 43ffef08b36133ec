// The serial line receiver: the handler alone against the USART model, and
// the whole firmware as a host sees it.
#include <algorithm>
#include <cstring>

#include "board_fixture.h"
#include "protocol.h"

namespace snt_test {
namespace {

// The handler is called by the test, one entry at a time; the interrupt
// controller is left off so the board takes no entry on its own.
class Receiver : public BoardTest {
protected:
    void SetUp() override
    {
        board.poke(sim::kRccBase + sim::Rcc::kApb2enr, 1u << 14); // USART1 clock
        board.poke(sim::kUsart1Base + sim::Usart::kBrr, 69);
        board.poke(sim::kUsart1Base + sim::Usart::kCr1,
                   sim::Usart::kUE | sim::Usart::kRE | sim::Usart::kTE | sim::Usart::kRXNEIE);
    }
    // Lets `bytes` arrive with the given line error, then runs one entry per byte.
    void receive(const std::string &bytes, sim::Usart::LineError error = sim::Usart::kNoError)
    {
        for (char c : bytes) {
            const auto b = static_cast<std::uint8_t>(c);
            board.usart().host_send(&b, 1, error);
            board.scheduler().advance_to(board.usart().host_send_done_at());
            entry();
        }
    }
    void entry() { handler(); }
    // What the main loop gets when it takes the waiting line.
    std::string line()
    {
        EXPECT_EQ(take(), 1) << "no complete line was waiting";
        return std::string(cmd_buf);
    }

    void (*handler)() = &SNT_FW(board.firmware(), USART1_IRQHandler);
    char *cmd_buf = SNT_FW(board.firmware(), cmd_buf);
    volatile int &icmd_buf = SNT_FW(board.firmware(), icmd_buf);
    volatile std::uint32_t &rx_byte_f = SNT_FW(board.firmware(), rx_byte_f);
    int (*take)() = &SNT_FW(board.firmware(), TakeLine);
};

TEST_F(Receiver, CarriageReturnHandsOverTheLine)
{
    receive("w");
    EXPECT_EQ(icmd_buf, 1);
    EXPECT_EQ(rx_byte_f, 0u);
    receive("\r");
    EXPECT_EQ(icmd_buf, 0);
    EXPECT_EQ(rx_byte_f, 1u);
    EXPECT_EQ(line(), "w");

    EXPECT_EQ(rx_byte_f, 0u) << "taking the line clears the flag";
    EXPECT_EQ(take(), 0) << "a line is taken once";
    receive("\r");
    EXPECT_EQ(rx_byte_f, 1u);
    EXPECT_EQ(line(), "") << "a carriage return alone hands over an empty line";
}

// A waiting line is never mixed with the bytes of the next one, whether the
// next one stops half-way or completes before the waiting one is taken; a
// newer complete line replaces an older one not yet taken.
TEST_F(Receiver, LinesAreHandedOverWholeAndNeverSpliced)
{
    receive("r 1000 3\r");
    receive("w 26000000"); // the host stops here: no carriage return
    EXPECT_EQ(line(), "r 1000 3");
    receive("\r");
    EXPECT_EQ(line(), "w 26000000");

    receive("r 1000 2\rw 1 99999\rr");
    EXPECT_EQ(line(), "w 1 99999") << "the newer complete line replaced the older";
    EXPECT_EQ(take(), 0) << "the partial r is not a line";

    // A carriage return while the main loop is copying a line out: the
    // receiver keeps its bytes away from that buffer.
    receive("\rf 1234567\r"); // the partial r ends as a line of its own first
    const std::uint32_t ready = SNT_FW(board.firmware(), rx_ready);
    SNT_FW(board.firmware(), rx_taking) = (ready & 3u) + 1;
    receive("o\rc\rx 24000000\rw");
    EXPECT_STREQ(SNT_FW(board.firmware(), rx_lines)[ready & 3u], "f 1234567") << "the buffer being taken was written";
    SNT_FW(board.firmware(), rx_taking) = 0;
    EXPECT_EQ(line(), "x 24000000");
}

TEST_F(Receiver, KeepsTheFirst49BytesOfALine)
{
    const std::string exact(49, 'a');
    receive(exact + "\r");
    EXPECT_EQ(line(), exact);
    EXPECT_EQ(cmd_buf[49], 0) << "the terminator sits in the last element";

    std::string long_line;
    for (int i = 0; i < 60; ++i) long_line.push_back(static_cast<char>('0' + i % 10));
    receive(long_line);
    EXPECT_EQ(icmd_buf, 49) << "the index never passes 49";
    receive("\r");
    EXPECT_EQ(line(), long_line.substr(0, 49));
    EXPECT_EQ(icmd_buf, 0);
}

TEST_F(Receiver, StoresEveryByteButTheCarriageReturnAsItComes)
{
    const std::string odd = std::string("\n\tW") + '\x80' + '\xff' + std::string(1, '\0') + "x";
    receive(odd + "\r");
    EXPECT_EQ(icmd_buf, 0);
    ASSERT_EQ(take(), 1);
    EXPECT_EQ(std::memcmp(cmd_buf, odd.data(), odd.size()), 0);
    EXPECT_EQ(cmd_buf[odd.size()], 0);
}

TEST_F(Receiver, OverrunLosesOneByteAndIsClearedByTheNextEntry)
{
    receive("ab");
    const std::uint8_t late[] = {'c', 'd'};
    board.usart().host_send(late, 2);
    board.scheduler().advance_to(board.usart().host_send_done_at()); // 'd' arrives before 'c' is taken
    EXPECT_TRUE(board.usart().isr() & sim::Usart::kORE);
    entry(); // takes 'c'
    EXPECT_TRUE(board.usart().isr() & sim::Usart::kORE) << "a byte entry handles no error flag";
    entry();
    EXPECT_FALSE(board.usart().isr() & sim::Usart::kORE);
    receive("\r");
    EXPECT_EQ(line(), "abc") << "the lost byte is missing, the rest of the line stays";
}

TEST_F(Receiver, ErrorFlagsAreClearedOneEntryEachInTheirOrder)
{
    receive("ab", sim::Usart::kNoise);
    receive("c", sim::Usart::kFraming);
    EXPECT_EQ(icmd_buf, 3) << "bytes with noise or framing errors are stored like any other";
    board.scheduler().advance_to(board.now() + 2000);
    board.usart().force_flags(sim::Usart::kCMF | sim::Usart::kORE);
    const std::uint32_t order[] = {sim::Usart::kORE, sim::Usart::kIDLE, sim::Usart::kNE, sim::Usart::kCMF,
                                   sim::Usart::kFE};
    for (std::uint32_t flag : order) {
        ASSERT_TRUE(board.usart().isr() & flag);
        entry();
        EXPECT_FALSE(board.usart().isr() & flag);
    }
    receive("\r");
    EXPECT_EQ(line(), "abc");
}

// ---- the whole firmware

using ReceiverInFirmware = BoardTest;

TEST_F(ReceiverInFirmware, LineFeedOfACrLfHostBecomesTheNextLinesLetter)
{
    PinTrace pa2(board, board.gpioa(), 2);
    boot();
    const Cycles start = board.now();
    send_and_settle("w\r\n");
    send_and_settle("w\r\n");
    EXPECT_EQ(serial.text(), std::string("25000000\r" ID_TEXT "\r" ID_TEXT "\r"))
        << "the second line is \"\\nw\", which matches no command";
    EXPECT_EQ(pa2.rising_edges(start), 2) << "both lines ran";
}

TEST_F(ReceiverInFirmware, OnlyTheNewestOfTwoLinesCompletedDuringACommandRuns)
{
    PinTrace pa2(board, board.gpioa(), 2);
    boot();
    send_and_settle("w\r");
    serial.clear();
    const Cycles start = board.now();
    // The reply to "w" keeps the command running for about 0.7 ms; both
    // following lines complete in that time and share the one buffer.
    send("w\rw\rW\r");
    board.run_until([&] { return board.now() >= board.usart().host_send_done_at(); }, ms(10));
    ASSERT_TRUE(board.run_until_idle(ms(10)));
    EXPECT_EQ(serial.text(), ID_TEXT "\r") << "the second w was replaced by W before it ran";
    EXPECT_EQ(pa2.rising_edges(start), 2) << "two commands ran: w and W";
}

// A host that streams lines without waiting, then stops mid-line: only the
// lines it sent run, whole, never a mixture of two.
TEST_F(ReceiverInFirmware, StreamedLinesNeverRunSplicedCommands)
{
    boot();
    board.run_for(ms(40)); // the measurement start-up began
    ASSERT_TRUE(board.run_until_idle(ms(10)));
    const auto count = [](const std::string &text, char c) { return std::count(text.begin(), text.end(), c); };

    serial.clear();
    send("r 1000 3\rw 26000000\rx");
    board.run_until([&] { return board.now() >= board.usart().host_send_done_at(); }, ms(500));
    ASSERT_TRUE(board.run_until_idle(ms(500)));
    EXPECT_EQ(board.flash().erases(), 0u) << "x 26000000, spliced from two lines, was run";
    EXPECT_EQ(count(serial.text(), '\r'), 4) << "three levels and the reply to w: " << serial.text();
    EXPECT_EQ(serial.text().substr(serial.text().size() - 9), ID_TEXT "\r");

    serial.clear();
    send("\rr 1000 2\rw 1 99999\rr");
    board.run_until([&] { return board.now() >= board.usart().host_send_done_at(); }, ms(500));
    ASSERT_TRUE(board.run_until_idle(ms(2000))) << "a long sweep spliced from two lines is running";
    EXPECT_EQ(count(serial.text(), '\r'), 3) << "two levels and the reply to w: " << serial.text();
}

} // namespace
} // namespace snt_test
