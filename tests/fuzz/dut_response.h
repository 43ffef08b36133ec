// What every device under test must give, whatever its text said: a gain
// the analog model can turn into samples, at every frequency the
// synthesizer reaches and well beyond.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "board/bench/dut.h"
#include "board/bench/dut_text.h"

namespace snt_fuzz {

inline void check_response(const sim::Dut &dut, const std::string &text)
{
    const auto check = [&](double hz) {
        const double g = dut.gain(hz);
        if (!(g >= 0 && g <= sim::kMaxGain)) {
            std::fprintf(stderr, "\"%s\" gives the gain %g at %.17g Hz\n", text.c_str(), g, hz);
            std::abort();
        }
    };
    // Every 1 MHz across what the synthesizer makes, then 50 points a
    // decade from 1 Hz to 100 GHz, off the points parse_dut looks at.
    for (double hz = 0; hz <= 250e6; hz += 1e6) check(hz);
    for (double hz = 1; hz < 1e11; hz *= 1.0471285480508996) check(hz);
}

// The message of a refused text is one line of printable text.
inline void check_message(const char *message)
{
    for (const char *p = message; *p != 0; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) {
            std::fprintf(stderr, "control character 0x%02X in the message \"%s\"\n", c, message);
            std::abort();
        }
    }
    if (*message == 0) {
        std::fputs("an empty message\n", stderr);
        std::abort();
    }
}

// Parses a --dut text (touchstone:FILE from `source`): a refusal must be one
// clean line, a device must answer every frequency with a finite,
// non-negative gain.
inline void check_parse(const std::string &text, const sim::TouchstoneSource &source = nullptr)
{
    std::unique_ptr<sim::Dut> dut;
    try {
        dut = sim::parse_dut(text, source);
    } catch (const sim::DutError &e) {
        check_message(e.what());
        return;
    }
    check_response(*dut, text);
}

} // namespace snt_fuzz
