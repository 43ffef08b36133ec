// Devices under test as `snt-sim --dut` names them:
//
//   thru                  a cable: gain 1 (the default)
//   open                  nothing connected: gain 0
//   atten:DB              an attenuator of DB decibels (0 or more): 10^(-DB/20)
//   lowpass:FC[:ORDER]    Butterworth low-pass, -3 dB at FC
//   highpass:FC[:ORDER]   Butterworth high-pass; ORDER 1..10, 2 when left out
//   bandpass:F0:BW        a second-order resonator with Q = F0 / BW, its -3 dB
//                         points BW apart (near F0 +- BW/2 when BW is small
//                         against F0); BW must be below 2 F0
//   notch:F0:BW           its complement: 0 at F0, -3 dB at the band-pass's
//                         -3 dB points
//   crystal:FS:Q          a quartz crystal in series, resonating at FS with
//                         unloaded Q (the model: dut.h)
//   touchstone:FILE       |S21| from a Touchstone (version 1) two-port file
//                         (what is read: touchstone.h)
//
// Frequencies (and Q) follow core/text/frequency_text.h, as snt's do: no sign,
// a k, M or G multiplier, frequencies optionally followed by "Hz": 1000,
// 455k, 10.7M, 1.2GHz; they must be above 0. The kind is not case-sensitive.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board/bench/dut.h"

namespace sim {

// The text of the Touchstone file FILE names, for touchstone:FILE: a
// file's content as the caller reads it (snt-sim: from the file system,
// within bounds), or a text handed over with the name. Throws DutError,
// its message starting as touchstone::where(FILE) does.
using TouchstoneSource = std::function<std::string(const std::string &file)>;

// The device named by `device` (one of the texts above), its response
// checked across every frequency the synthesizer can make and far beyond;
// throws DutError. Without a source, touchstone:FILE is refused.
std::unique_ptr<Dut> parse_dut(const std::string &device, const TouchstoneSource &source = nullptr);

// A frequency as device texts write it, e.g. "10.7M", in hertz; throws
// DutError for anything else, naming `what`.
double parse_frequency(const std::string &text, const std::string &what);

// One line listing the kinds, for messages and help texts.
const char *dut_kinds();

// Pieces of the device texts that the Touchstone reader shares.
namespace text {

// Text from the command line or a file, fit for a one-line message.
std::string printable(const std::string &text);
// The same in double quotes.
std::string quoted(const std::string &text);
std::string lower(std::string s);
// A number for a message, "%g".
std::string number(double v);
// A finite decimal number, all of `text`, with an optional sign.
bool parse_real(const std::string &text, double &out);

} // namespace text

} // namespace sim
