// The command interpreter: number syntax, the command table and the `w` reply.
#include "board_fixture.h"
#include "protocol.h"

namespace snt_test {
namespace {

class Interpreter : public BoardTest {
protected:
    // Reads a number from `text` as a handler would; returns the value and
    // how many bytes were consumed.
    std::pair<std::int32_t, long> read_number(const std::string &text)
    {
        std::snprintf(buf, sizeof buf, "%s", text.c_str());
        std::int32_t value = 12345;
        char *end = read_number_fn(buf, &value);
        return {value, end - buf};
    }
    char buf[64];
    char *(*read_number_fn)(char *, std::int32_t *) = &SNT_FW(board.firmware(), ReadNumber);
    char *(*skip_fn)(char *) = &SNT_FW(board.firmware(), SkipWhitespace);
};

TEST_F(Interpreter, ReadNumberSyntax)
{
    struct Case {
        const char *text;
        std::int32_t value;
        long consumed;
    } cases[] = {
        {"7000000", 7000000, 7},
        {"7,000,000", 7, 2}, // the comma ends the number and is consumed
        {"7.5", 7, 2},
        {"-5", 0, 1}, // a sign is no digit
        {"abc", 0, 1},
        {"\t5", 0, 1}, // a tab is neither separator nor digit
        {"", 0, 0},    // reading never passes the terminator
        {"42", 42, 2},
        {"4294967296", 0, 10}, // wraps modulo 2^32
        {"4294968296", 1000, 10},
        {"2147483648", -2147483647 - 1, 10},
        {"4294967295", -1, 10},
        {"99999999999999999999", 1661992959, 20},
        {"12\x80"
         "3",
         12, 3}, // bytes of 128 and above end a number
        {"0012 ", 12, 5},
    };
    for (const Case &c : cases) {
        const auto [value, consumed] = read_number(c.text);
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        EXPECT_EQ(consumed, c.consumed) << '"' << c.text << '"';
    }
}

TEST_F(Interpreter, SkipWhitespaceSkipsSpacesAndCommasOnly)
{
    std::snprintf(buf, sizeof buf, " , ,7");
    EXPECT_EQ(skip_fn(buf), buf + 4);
    std::snprintf(buf, sizeof buf, "\t7");
    EXPECT_EQ(skip_fn(buf), buf);
    buf[0] = 0;
    EXPECT_EQ(skip_fn(buf), buf);
}

TEST_F(Interpreter, OnlyLowerCaseWAnswersAndEveryLinePulsesPA2)
{
    PinTrace pa2(board, board.gpioa(), 2);
    boot();
    serial.clear();
    const Cycles start = board.now();
    const struct {
        const char *line;
        bool answers;
    } lines[] = {{"w\r", true}, {"w123\r", true}, {"ww\r", true}, {"w 1,2\r", true},  {" w\r", false}, {"W\r", false},
                 {"\r", false}, {"x\r", false},   {"1\r", false}, {"\x80w\r", false}, {"\nw\r", false}};
    std::string expected;
    for (const auto &l : lines) {
        send_and_settle(l.line);
        if (l.answers) expected += ID_TEXT "\r";
        EXPECT_EQ(serial.text(), expected) << "after line \"" << l.line << '"';
    }
    EXPECT_EQ(pa2.rising_edges(start), int(sizeof lines / sizeof lines[0]));
    EXPECT_EQ(board.gpioa().level(2), sim::Level::Low);
}

TEST_F(Interpreter, ReplyGoesOutAtTheLineRateAndTheCommandEndsBeforeItsLastByteLeaves)
{
    PinTrace pa2(board, board.gpioa(), 2);
    boot();
    send_and_settle("w\r");
    serial.clear();
    send_and_settle("w\r");
    ASSERT_EQ(serial.text(), ID_TEXT "\r");
    const Cycles pa2_fell = pa2.changes().back().first;
    const Cycles last_byte_done = serial.times().back();
    EXPECT_LT(pa2_fell, last_byte_done) << "send_char does not wait for the line";
    constexpr Cycles kByteCycles = 690; // one byte on the line
    EXPECT_GE(pa2_fell + 2 * kByteCycles, last_byte_done) << "at most two bytes are still in the transmitter";
}

} // namespace
} // namespace snt_test
