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

#include "protocol.h"
#include "shells/snt/serial_port.h"

namespace snt {

// The device answered, but not as this firmware does.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Time-outs, each derived from what the firmware needs plus a margin. Every
// wait also has an overall limit, so a device that keeps talking cannot
// keep us waiting either.
struct Timing {
    using milliseconds = std::chrono::milliseconds;
    // `w` is answered within a millisecond of being taken; a board that has
    // just started also sends its banner first.
    milliseconds identify{500};
    // The whole greeting (banner, identification), and again the quiet
    // after it: a device still talking after this is refused.
    milliseconds greeting{2000};
    // After a banner the answer to our own `w` may follow: the line must
    // be quiet this long before we go on.
    milliseconds settle{200};
    // `f` takes a few ms, 100 ms more when the outputs were off; `x` writes a
    // flash page (tens of ms); then the `w` behind them.
    milliseconds silent_command{1000};
    // While `x` erases and programs its flash page (30 ms, then 53.5 us per
    // half-word) the core stalls and the receiver keeps one byte: the `w`
    // behind it waits this long, and is sent once more when its answer does
    // not come within silent_command.
    milliseconds flash_write{200};
    int flash_confirmations{2};
    // One sweep point: about 20 ms, about 70 ms after a PLL reset.
    milliseconds point{500};
    // The whole sweep: this much per point, plus sweep_slack.
    milliseconds per_point_budget{100};
    milliseconds sweep_slack{1000};
    // `raw`: collect replies until the line has been quiet this long, for
    // at most raw_limit.
    milliseconds raw_quiet{500};
    milliseconds raw_limit{60000};
};

constexpr const char *kIdentification = ID_TEXT;
// Points per `r` command; longer sweeps are split.
constexpr std::uint32_t kMaxPointsPerCommand = 10000;

class Device {
public:
    using Level = std::optional<double>; // nullopt: the synthesizer cannot make that frequency
    using Progress = std::function<void(std::uint32_t done, std::uint32_t total)>;

    // Takes over an open port and makes sure a tester is on it: sends `w` and
    // waits for the identification, taking a start-up banner on the way.
    explicit Device(SerialPort &port, const Timing &timing = Timing{});

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
    // Hears each point of a sweep as it arrives (its index and level);
    // returning false asks the sweep to stop.
    using PointSink = std::function<bool(std::uint32_t index, Level level)>;
    // The same sweep point by point, in commands of at most `per_command`
    // points. When `on_point` asks to stop, the replies still due for the
    // command in flight are read and dropped, so the device is idle again
    // when this returns. Returns the number of points handed on.
    std::uint32_t sweep_points(std::uint32_t start, std::uint32_t step, std::uint32_t points, const PointSink &on_point,
                               std::uint32_t per_command = kMaxPointsPerCommand);
    // The points of `frequencies` (rising), in runs of equal spacing: one
    // `f` for the first point, then `r STEP COUNT` per run, each run
    // stepping on to where the next begins (a logarithmic sweep is a run
    // per point). As sweep_points, it hands on each point and stops when
    // asked; returns the number of points handed on.
    std::uint32_t sweep_frequencies(const std::vector<std::uint32_t> &frequencies, const PointSink &on_point,
                                    std::uint32_t per_command = kMaxPointsPerCommand);
    // Sends one line; hands on each line that comes back until the device
    // goes quiet. Throws PortError when it is still sending after
    // raw_limit.
    void raw(const std::string &line, const std::function<void(const std::string &)> &on_line);

private:
    void connect();
    void send(const std::string &line);
    // A silent command, then (after `pause`) `w` to know it has finished;
    // `w` goes out up to `attempts` times before the silence is an error.
    void silent(const std::string &line, std::chrono::milliseconds pause = std::chrono::milliseconds(0),
                int attempts = 1);
    void expect_identification(std::chrono::milliseconds timeout, const std::string &after);

    SerialPort &port_;
    Timing timing_;
    std::optional<std::uint32_t> banner_crystal_;
};

// Parses one sweep reply: "*" gives nullopt, a number its value; anything
// else throws ProtocolError.
Device::Level parse_level(const std::string &line);

} // namespace snt
