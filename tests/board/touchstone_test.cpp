// Touchstone files as devices under test: formats, units, wrapped records,
// interpolation, and what is refused. The files' texts are handed over as
// the board takes them; reading files is the shell's (tests/sim).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "board/bench/dut_text.h"
#include "decibels.h"

namespace snt_test {
namespace {

class TouchstoneFile : public ::testing::Test {
protected:
    std::unique_ptr<sim::Dut> load(const std::string &name, const std::string &text)
    {
        return sim::parse_dut("touchstone:" + name, [&](const std::string &file) {
            EXPECT_EQ(file, name);
            return text;
        });
    }
    std::string error(const std::string &name, const std::string &text)
    {
        try {
            load(name, text);
        } catch (const sim::DutError &e) {
            return e.what();
        }
        return "(accepted)";
    }
};

TEST_F(TouchstoneFile, FormatsUnitsAndComments)
{
    const auto ma = load("ma.s2p",
                         "! a filter\n"
                         "# MHz S MA R 50\n"
                         "1 0.1 0 0.5 -45 0.5 -45 0.1 0 ! first point\n"
                         "2 0.1 0 0.25 -90 0.25 -90 0.1 0\n");
    EXPECT_DOUBLE_EQ(ma->gain(1e6), 0.5);
    EXPECT_DOUBLE_EQ(ma->gain(2e6), 0.25);

    const auto dbf = load("db.s2p",
                          "#khz s db r 75\n"
                          "100 -20 0 -6 10 -6 10 -20 0\n"
                          "200 -20 0 -12 20 -12 20 -20 0\n");
    EXPECT_NEAR(db(dbf->gain(100e3)), -6, 1e-9);
    EXPECT_NEAR(db(dbf->gain(200e3)), -12, 1e-9);

    const auto ri = load("ri.S2P",
                         "# Hz RI S R 50\n"
                         "1000 0 0 0.3 0.4 0 0 0 0\n"
                         "2000 0 0 -0.6 0.8 0 0 0 0\n");
    EXPECT_NEAR(ri->gain(1000), 0.5, 1e-12);
    EXPECT_NEAR(ri->gain(2000), 1.0, 1e-12);

    const auto defaults = load("defaults", "1 0 0 0.1 0 0 0 0 0\n2 0 0 0.2 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(defaults->gain(1e9), 0.1) << "GHz and MA without an option line";
    EXPECT_DOUBLE_EQ(defaults->gain(2e9), 0.2);

    const auto second = load("second.s2p", "# MHz S DB R 50\n# Hz S MA R 50\n1 0 0 -3 0 0 0 0 0\n");
    EXPECT_NEAR(db(second->gain(1e6)), -3, 1e-9) << "option lines after the first are ignored";
    const auto late = load("late.s2p", "1 0 0 0.5 0 0 0 0 0\n# Hz S DB R 50\n2 0 0 0.25 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(late->gain(2e9), 0.25) << "and so is one after the data has begun";
}

TEST_F(TouchstoneFile, RecordsWrapOverLinesAndNoiseDataIsSkipped)
{
    const auto wrapped = load("wrapped.s2p",
                              "# MHz S MA R 50\n"
                              "1 0.1 0\n"
                              "  0.5 0\n"
                              "  0.5 0 0.1 0\n"
                              "\n"
                              "2 0.1 0 0.25 0 ! comment inside a record\n"
                              "0.25 0 0.1 0\n");
    EXPECT_DOUBLE_EQ(wrapped->gain(1e6), 0.5);
    EXPECT_DOUBLE_EQ(wrapped->gain(2e6), 0.25);

    const auto noisy = load("noise.s2p",
                            "# GHz S DB R 50\n"
                            "1 -20 0 10 0 -30 0 -20 0\n"
                            "2 -20 0 8 0 -30 0 -20 0\n"
                            "! noise parameters\n"
                            "1 1.2 0.5 30 0.3\n"
                            "2 1.5 0.4 60 0.35\n");
    EXPECT_NEAR(db(noisy->gain(1e9)), 10, 1e-9);
    EXPECT_NEAR(db(noisy->gain(2e9)), 8, 1e-9);
}

TEST_F(TouchstoneFile, InterpolatesInDbAndHoldsTheEnds)
{
    const auto dut = load("interp.s2p",
                          "# MHz S DB R 50\n"
                          "1 0 0 -10 0 0 0 0 0\n"
                          "3 0 0 -30 0 0 0 0 0\n"
                          "4 0 0 -30 0 0 0 0 0\n"
                          "5 0 0 0 0 0 0 0 0\n");
    EXPECT_NEAR(db(dut->gain(2e6)), -20, 1e-9) << "linear in dB, not in magnitude";
    EXPECT_NEAR(db(dut->gain(1.5e6)), -15, 1e-9);
    EXPECT_NEAR(db(dut->gain(3.5e6)), -30, 1e-9);
    EXPECT_NEAR(db(dut->gain(4.75e6)), -7.5, 1e-9);
    EXPECT_NEAR(db(dut->gain(0.5e6)), -10, 1e-9) << "below the first point: its value";
    EXPECT_NEAR(db(dut->gain(0)), -10, 1e-9);
    EXPECT_NEAR(db(dut->gain(100e6)), 0, 1e-9) << "above the last point: its value";

    const auto one = load("one.s2p", "# MHz S MA R 50\n7 0 0 0.7 0 0 0 0 0\n");
    EXPECT_DOUBLE_EQ(one->gain(1), 0.7);
    EXPECT_DOUBLE_EQ(one->gain(1e9), 0.7);

    const auto zero = load("zero.s2p", "# MHz S MA R 50\n1 0 0 0 0 0 0 0 0\n2 0 0 1 0 0 0 0 0\n");
    EXPECT_NEAR(db(zero->gain(1e6)), -300, 1e-6) << "a magnitude of 0 is held at -300 dB";
    EXPECT_NEAR(db(zero->gain(1.5e6)), -150, 1e-6);
}

TEST_F(TouchstoneFile, RefusesWhatItCannotRead)
{
    EXPECT_NE(error("empty.s2p", "").find("empty.s2p: no data"), std::string::npos);
    EXPECT_NE(error("comments.s2p", "! nothing\n# MHz S MA R 50\n").find(": no data"), std::string::npos);
    EXPECT_NE(error("word.s2p", "# MHz S MA R 50\n1 0 0 1 0 0 0 0 0\n2 0 0 x 0 0 0 0 0\n")
                  .find("word.s2p line 3: \"x\" is not a number"),
              std::string::npos);
    EXPECT_NE(error("short.s2p", "# MHz S MA R 50\n1 0 0 1 0\n").find("the last record has 5 of its 9 numbers"),
              std::string::npos);
    EXPECT_NE(error("down.s2p", "# MHz S MA R 50\n2 0 0 1 0 0 0 0 0\n1 0 0 1 0 0 0 0 0\n")
                  .find("line 3: frequencies must increase (1e+06 Hz after 2e+06 Hz)"),
              std::string::npos);
    EXPECT_NE(error("same.s2p", "# MHz S MA R 50\n2 0 0 1 0 0 0 0 0\n2 0 0 1 0 0\n0 0 0\n")
                  .find("line 3: frequencies must increase"),
              std::string::npos)
        << "a repeated frequency that does not start noise data";
    EXPECT_NE(error("negative.s2p", "# MHz S MA R 50\n-1 0 0 1 0 0 0 0 0\n").find("negative frequency"),
              std::string::npos);
    EXPECT_NE(error("option.s2p", "# MHz S XX R 50\n").find("line 1: unknown option \"XX\""), std::string::npos);
    EXPECT_NE(error("y.s2p", "# MHz Y MA R 50\n").find("only S parameters are read, not Y"), std::string::npos);
    EXPECT_NE(error("r.s2p", "# MHz S MA R\n").find("R must be followed by the reference impedance"),
              std::string::npos);
    EXPECT_NE(error("r0.s2p", "# MHz S MA R 0\n").find("R must be followed"), std::string::npos);
    EXPECT_NE(error("v2.s2p", "[Version] 2.0\n").find("keywords of Touchstone 2 are not read"), std::string::npos);
    EXPECT_NE(error("noise.s2p", "# MHz S MA R 50\n2 0 0 1 0 0 0 0 0\n1 1 1 1 1\n1.5 1 1\n")
                  .find("line 4: a noise parameter line has 5 numbers"),
              std::string::npos);
    EXPECT_NE(error("ports.s3p", "1 0 0 1 0 0 0 0 0\n").find("only two-port files"), std::string::npos);
    for (const char *name : {"empty.s2p", "word.s2p", "down.s2p", "y.s2p"}) {
        EXPECT_EQ(error(name, "\n\n1 0 0 1\n").find('\n'), std::string::npos);
    }
    EXPECT_NE(error("long.s2p", "# MHz S MA R 50\n" + std::string(4097, ' ') + "\n")
                  .find("long.s2p line 2: longer than 4096"),
              std::string::npos);
}

TEST(TouchstoneText, WithoutASourceNoFileIsRead)
{
    try {
        sim::parse_dut("touchstone:filter.s2p");
        FAIL() << "accepted a file nobody read";
    } catch (const sim::DutError &e) {
        EXPECT_STREQ(e.what(), "touchstone: filter.s2p: no file can be read here");
    }
    EXPECT_THROW(sim::parse_dut("touchstone:ports.s3p",
                                [](const std::string &) -> std::string {
                                    ADD_FAILURE() << "a file of another port count was read";
                                    return "";
                                }),
                 sim::DutError);
}

} // namespace
} // namespace snt_test
