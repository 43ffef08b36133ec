// Touchstone (version 1) two-port files as devices under test, for
// `--dut touchstone:FILE`.
//
// - `!` starts a comment, to the end of the line.
// - The option line `# <unit> <parameter> <format> R <z0>`, its fields in any
//   order and any case, each optional: unit Hz, kHz, MHz or GHz (GHz when
//   left out), parameter S (the only one read), format MA (magnitude and
//   angle, the default), DB (decibels and angle) or RI (real and imaginary),
//   R and the reference impedance (kept as it is: |S21| is used without
//   renormalising to 50 ohm). Only the first option line before the data
//   counts; any later one is ignored.
// - Data: records of 9 numbers (frequency, then S11, S21, S12, S22 as
//   pairs), one a line or wrapped over several. Frequencies must increase.
//   A record starting a line with a frequency not above the previous one
//   begins the noise parameters (5 numbers a line), which are skipped.
// - The file name may end in .s2p (any case) or have no such ending; other
//   port counts (.s1p, .s3p, ...) are refused.
// - Between points the gain is interpolated linearly in dB against
//   frequency; below the first point and above the last it is that point's
//   value. A magnitude of 0 counts as -300 dB.
//
// The text is parsed here; reading a file is the caller's (snt-sim's:
// shells/sim/input_files.h). A file is bounded as touchstone_lines.h says:
// at most kMaxBytes, lines of at most kMaxLineChars, at most kMaxPoints
// points.
#pragma once

#include <memory>
#include <string>

#include "board/bench/dut.h"
#include "board/bench/touchstone_lines.h"

namespace sim::touchstone {

// How messages about the file at `path` begin: "touchstone: PATH".
std::string where(const std::string &path);

// Throws DutError when the name says the file has another number of ports
// (.s1p, .s3p, ...): checked before the file is read.
void check_name(const std::string &path);

// |S21| of the file at `path`, whose content is `text`; throws DutError
// naming the file (and the line) for what cannot be read. The response is
// not checked here: parse_dut does that for every device.
std::unique_ptr<Dut> parse(const std::string &path, const std::string &text);

} // namespace sim::touchstone
