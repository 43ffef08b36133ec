// The tester as seen over its serial port: one command line at a time,
// never two in flight. A command the firmware does not answer is followed
// by `w`, whose identification reply comes only once the command is done.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "serial_port.h"

namespace snt {

// The device answered, but not as this firmware does.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Time-outs, each derived from what the firmware needs plus a margin.
namespace timing {
using std::chrono::milliseconds;
// `w` is answered within a millisecond of being taken; a board that has
// just started also sends its banner first.
constexpr milliseconds kIdentify{500};
// `f` takes a few ms, 100 ms more when the outputs were off; `x` writes a
// flash page (tens of ms); then the `w` behind them.
constexpr milliseconds kSilentCommand{1000};
// One sweep point: about 20 ms, about 70 ms after a PLL reset.
constexpr milliseconds kPoint{500};
// The whole sweep: this much per point, plus kSweepSlack.
constexpr milliseconds kPerPointBudget{100};
constexpr milliseconds kSweepSlack{1000};
// `raw`: collect replies until the line has been quiet this long.
constexpr milliseconds kRawQuiet{500};
constexpr std::chrono::seconds kRawLimit{60};
} // namespace timing

constexpr const char *kIdentification = "1.3;VORN";
// Points per `r` command; longer sweeps are split.
constexpr std::uint32_t kMaxPointsPerCommand = 10000;

class Device {
public:
    using Level = std::optional<double>;  // nullopt: the synthesizer cannot make that frequency
    using Progress = std::function<void(std::uint32_t done, std::uint32_t total)>;

    // Takes over an open port and makes sure a tester is on it: sends `w` and
    // waits for the identification, taking a start-up banner on the way.
    explicit Device(SerialPort &port);

    // The crystal frequency the start-up banner announced, if we saw one.
    std::optional<std::uint32_t> banner_crystal() const { return banner_crystal_; }

    // Sends `w`; returns the identification line.
    std::string identify();
    // Output 1 to `hz`, output 0 (the LO) 1 kHz away.
    void set_frequency(std::uint32_t hz);
    // All outputs off.
    void off();
    // The crystal on all outputs, for counting it.
    void calibrate();
    // Stores the crystal frequency (24..31 MHz) in flash and applies it.
    void set_crystal(std::uint32_t hz);
    // `points` levels from `start`, `step` apart (step > 0).
    std::vector<Level> sweep(std::uint32_t start, std::uint32_t step, std::uint32_t points,
                             const Progress &progress = {});
    // Sends one line; returns the lines that come back until it goes quiet.
    std::vector<std::string> raw(const std::string &line);

private:
    void connect();
    void send(const std::string &line);
    // A silent command, then `w` to know it has finished.
    void silent(const std::string &line);
    void expect_identification(std::chrono::milliseconds timeout, const std::string &after);

    SerialPort &port_;
    std::optional<std::uint32_t> banner_crystal_;
};

// Parses one sweep reply: "*" gives nullopt, a number its value; anything
// else throws ProtocolError.
Device::Level parse_level(const std::string &line);

} // namespace snt
