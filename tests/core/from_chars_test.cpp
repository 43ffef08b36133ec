// snt_text::from_chars against the C++ library's own std::from_chars for
// doubles, on the texts where a reader could differ: signs, exponents,
// infinity and NaN, and numbers beyond a double's range either way.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "core/text/from_chars.h"

namespace {

TEST(FromChars, ReadsAsTheStandardLibraryDoes)
{
    const char *const texts[] = {"0",          "-0",
                                 "12",         "00012",
                                 ".5",         "1.",
                                 "1e3",        "1E-3",
                                 "1e",         "1e+",
                                 "2.5k",       "1,5",
                                 "0x1p3",      "+1",
                                 " 1",         "",
                                 ".",          "-",
                                 "inf",        "-inf",
                                 "INF",        "infinity",
                                 "nan",        "nan(123)",
                                 "1e308",      "1.7976931348623157e308",
                                 "1.8e308",    "1e400",
                                 "-1e400",     "2.2250738585072011e-308",
                                 "4.9e-324",   "3e-324",
                                 "2e-324",     "1e-400",
                                 "-1e-400",    "0e-999",
                                 "0.000e5000", "123456789012345678901234567890e-400",
                                 "10.7M",      "455k"};
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        const char *end = text + std::strlen(text);
        double ours = -7, theirs = -7;
        const auto a = snt_text::from_chars(text, end, ours);
        const auto b = std::from_chars(text, end, theirs, std::chars_format::general);
        EXPECT_EQ(a.ec, b.ec);
        EXPECT_EQ(a.ptr - text, b.ptr - text);
        if (std::isnan(theirs)) {
            EXPECT_TRUE(std::isnan(ours));
        } else {
            EXPECT_EQ(std::signbit(ours), std::signbit(theirs));
            EXPECT_EQ(ours, theirs) << "an error leaves the value alone";
        }
    }
}

} // namespace
