// The device texts of the bench jobs, on top of those of dut_text.h:
//
//   A+B+...                 the devices one after another (a cascade):
//                           atten:20+amplifier:20, lowpass:10M:5+atten:6
//   amplifier:GAIN[:P1DB]   an amplifier of GAIN dB (an optional "dB"; -100
//                           to +100), compressing towards an output 1 dB
//                           compression point of P1DB dBm (an optional
//                           "dBm"; -100 to +100); without
//                           P1DB it never compresses. The synthesizer drives
//                           the device with 0 dBm (rf_devices.h).
//   bridge:LOAD             a return-loss bridge (40 dB directivity) with
//                           LOAD on its test port: open, short, a resistance
//                           in ohms (75, 1k, an optional "ohm"), a series
//                           R-L-C rlc:R:L:C (R in ohms, L in henries, C in
//                           farads, each with an optional p, n, u or m and
//                           its unit: rlc:50:2.5uH:100pF; a C of 0 leaves
//                           the capacitor out), or a one-port Touchstone
//                           file FILE.s1p (one_port_file.h)
//   crystals:FS,FS,...:Q[:N]
//                           a batch of crystals of unloaded Q, each as
//                           crystal:FS:Q; crystal N (from 1, the first when
//                           left out) is in the fixture
//
// In a cascade a '+' followed by text that names no kind belongs to a
// file name (touchstone:a+b.s2p).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "board/bench/dut.h"
#include "board/bench/rf_devices.h"

namespace sim {

// The text of the file at a path (a Touchstone file for a bridge), read by
// whoever may read files; throws DutError naming the file.
using TextLoader = std::function<std::string(const std::string &path)>;

// Any device text: the kinds above, and every kind of dut_text.h (through
// parse_dut). The response is checked as parse_dut checks it: finite gains
// up to +100 dB across the synthesizer's range and far beyond. Throws
// DutError; `load` may be empty when no file is named.
std::unique_ptr<Dut> parse_bench_dut(const std::string &device, const TextLoader &load = {});

// The batch a `crystals:` text lists, for a caller that puts one crystal
// after another into the fixture; throws DutError.
CrystalBatch parse_crystal_batch(const std::string &device);

// One line listing the kinds added here, for messages and help texts.
const char *bench_dut_kinds();

} // namespace sim
