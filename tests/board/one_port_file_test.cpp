// One-port Touchstone files read from their text: each format, the
// reference impedance, interpolation, and what is refused.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>

#include "board/bench/bench_dut_text.h"
#include "board/bench/one_port_file.h"
#include "decibels.h"

namespace snt_test {
namespace {

using cd = std::complex<double>;

double bridge_db(cd g) { return db(0.5 * std::abs(g + cd(0, 0.01))); }

TEST(OnePortFile, ReadsEachFormatAndRenormalises)
{
    const auto load = [](const std::string &text) { return sim::parse_one_port(text, "test.s1p"); };
    // The same 75 ohm load (reflection 0.2 at 50 ohm) written three ways.
    const auto ma = load("! a resistor\n# MHz S MA R 50\n1 0.2 0\n2 0.2 0\n");
    const auto dbf = load("# khz s db\n1000 -13.979400086720377 0\n2000 -13.979400086720377 0\n");
    const auto ri = load("#Hz S RI\n1e6 0.2\n 0\n2e6 0.2 0 ! wrapped above\n");
    const auto z75 = load("# MHz S RI R 75\n1 0 0\n2 0 0\n");
    for (const auto *p : {&ma, &dbf, &ri, &z75}) {
        EXPECT_NEAR(std::abs((*p)->reflection(1.5e6) - cd(0.2, 0)), 0, 1e-12);
    }
    const auto angle = load("# MHz S MA\n1 0.5 90\n3 0.5 -90\n");
    EXPECT_NEAR(std::abs(angle->reflection(1e6) - cd(0, 0.5)), 0, 1e-12);
    EXPECT_NEAR(std::abs(angle->reflection(2e6)), 0, 1e-12) << "real and imaginary parts interpolated";
    EXPECT_NEAR(std::abs(angle->reflection(5e6) - cd(0, -0.5)), 0, 1e-12) << "held beyond the last point";

    std::string file = "# MHz S MA\n1 0.2 0\n";
    const auto dut = sim::parse_bench_dut("bridge:ant.S1P", [&](const std::string &path) {
        EXPECT_EQ(path, "ant.S1P");
        return file;
    });
    EXPECT_NEAR(db(dut->gain(1e6)), bridge_db(0.2), 1e-9);
}

TEST(OnePortFile, RefusesWhatItCannotUse)
{
    const std::string long_line = "# MHz S MA\n" + std::string(5000, ' ') + "1 0 0\n";
    const std::pair<std::string, std::string> files[] = {
        {long_line, "line 2: longer than 4096 characters"},
        {"# MHz S MA\n2 0 0\n1 0 0\n", "line 3: frequencies must increase"},
        {"# MHz S MA\n1 0\n", "the last record has 2 of its 3 numbers"},
        {"# MHz Z MA\n1 0 0\n", "only S parameters are read"},
        {"[Version] 2.0\n", "keywords of Touchstone 2 are not read"},
        {"# MHz S MA\n1 1e6 0\n", "is above the +100 dB"},
        {"! nothing\n", "no data"},
    };
    for (const auto &[text, message] : files) {
        try {
            sim::parse_one_port(text, "bridge: a.s1p");
            ADD_FAILURE() << text << " was taken";
        } catch (const sim::DutError &e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

} // namespace
} // namespace snt_test
