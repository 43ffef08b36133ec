// The serial line receiver: the handler alone against the USART model, and
// the whole firmware as a host sees it.
#include <cstring>

#include "board_fixture.h"

namespace snt_test {
namespace {

// The handler is called by the test, one entry at a time; the interrupt
// controller is left off so the board takes no entry on its own.
class Receiver : public BoardTest {
protected:
    void SetUp() override
    {
        board.poke(0x40021018, 1u << 14); // USART1 clock
        board.poke(0x4001380C, 69);       // BRR
        board.poke(0x40013800, sim::Usart::kUE | sim::Usart::kRE | sim::Usart::kTE | sim::Usart::kRXNEIE);
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
    std::string line() const { return std::string(cmd_buf); }

    void (*handler)() = function<void()>("USART1_IRQHandler");
    char *cmd_buf = &global<char>("cmd_buf");
    volatile int &icmd_buf = global<volatile int>("icmd_buf");
    volatile std::uint32_t &rx_byte_f = global<volatile std::uint32_t>("rx_byte_f");
};

TEST_F(Receiver, CarriageReturnHandsOverTheLine)
{
    receive("w");
    EXPECT_EQ(icmd_buf, 1);
    EXPECT_EQ(rx_byte_f, 0u);
    receive("\r");
    EXPECT_EQ(line(), "w");
    EXPECT_EQ(icmd_buf, 0);
    EXPECT_EQ(rx_byte_f, 1u);

    rx_byte_f = 0;
    receive("\r");
    EXPECT_EQ(cmd_buf[0], 0) << "a carriage return alone hands over an empty line";
    EXPECT_EQ(rx_byte_f, 1u);
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
    EXPECT_EQ(serial.text(), std::string("25000000\r1.3;VORN\r1.3;VORN\r"))
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
    EXPECT_EQ(serial.text(), "1.3;VORN\r") << "the second w was replaced by W before it ran";
    EXPECT_EQ(pa2.rising_edges(start), 2) << "two commands ran: w and W";
}

} // namespace
} // namespace snt_test
