// One-port Touchstone (version 1) files, `.s1p`, as loads for the bridge
// (`--dut bridge:FILE.s1p`), read from their text; the shell reads the file.
//
// - `!` starts a comment, to the end of the line.
// - The option line `# <unit> <parameter> <format> R <z0>`, as for two-port
//   files (touchstone.h): unit Hz, kHz, MHz or GHz (GHz when left out), S
//   only, MA (the default), DB or RI, and the reference impedance (50 ohm
//   when left out). A reference other than 50 ohm is converted to 50 ohm,
//   the bridge's.
// - Data: records of 3 numbers, frequency and S11 as a pair, one a line or
//   wrapped over several; frequencies must increase.
// - Between points S11 is interpolated linearly in its real and imaginary
//   parts; below the first point and above the last it is that point's.
// - Bounds, as for two-port files: at most 16 MiB of text, 4096 characters
//   a line, 100,000 points, and |S11| up to the model's +100 dB.
#pragma once

#include <memory>
#include <string>

#include "board/bench/rf_devices.h"

namespace sim {

// The load the text describes; `where` names it in messages ("bridge:
// ant.s1p"). Throws DutError naming the line for anything it cannot use.
std::unique_ptr<OnePort> parse_one_port(const std::string &text, const std::string &where);

// Whether a file name ends in .s1p (any case).
bool is_one_port_file(const std::string &path);

} // namespace sim
