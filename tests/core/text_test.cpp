// The text rules every part shares: outside bytes made printable and quoted.
#include <gtest/gtest.h>

#include <string>

#include "core/text/text.h"

namespace snt {
namespace {

TEST(SntText, ShowsEveryByteOutsidePrintableAsciiAsHex)
{
    EXPECT_EQ(printable("plain text, 10.7 MHz"), "plain text, 10.7 MHz");
    EXPECT_EQ(printable(std::string("a\0b", 3)), "a\\x00b") << "a NUL must not cut the message";
    EXPECT_EQ(printable("\r\n\t\x1b[2J"), "\\x0d\\x0a\\x09\\x1b[2J");
    EXPECT_EQ(printable("\x7f\x80\xff"), "\\x7f\\x80\\xff");
    EXPECT_EQ(printable("Messung\xe2\x80\x93"
                        "1"),
              "Messung\\xe2\\x80\\x931");
}

TEST(SntText, InQuotesEscapedAndCut)
{
    EXPECT_EQ(in_quotes("1.2;XYZ"), "\"1.2;XYZ\"");
    EXPECT_EQ(in_quotes("say \"hi\" \\ there"), "\"say \\\"hi\\\" \\\\ there\"");
    EXPECT_EQ(in_quotes(std::string("1\0\x85", 3)), "\"1\\x00\\x85\"");
    EXPECT_EQ(in_quotes(std::string(100, 'A'), 10), "\"AAAAAAAAAA\"...");
    EXPECT_EQ(in_quotes(std::string(10, 'A'), 10), "\"AAAAAAAAAA\"");
}

} // namespace
} // namespace snt
