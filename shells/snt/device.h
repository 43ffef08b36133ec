// The tester over a link, blocking: a small loop that feeds the protocol
// client (core/client/tester_client.h) with what the link receives and the
// link's time, sends what the client asks, and turns its failures into
// exceptions. Every wait ends at a deadline the client sets, and Ctrl-C
// (Interrupted) ends any of them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/client/tester_client.h"
#include "shells/snt/link.h"

namespace snt {

// The device answered, but not as this firmware does.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Device {
public:
    using Level = std::optional<double>; // nullopt: the synthesizer cannot make that frequency
    using Progress = std::function<void(std::uint32_t done, std::uint32_t total)>;

    // Takes over an open link and makes sure a tester is on it: sends `w` and
    // waits for the identification, taking a start-up banner on the way.
    explicit Device(Link &link, const Timing &timing = Timing{});

    // The crystal frequency the start-up banner announced, if we saw one.
    std::optional<std::uint32_t> banner_crystal() const { return client_.banner_crystal(); }

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
    using EventSink = std::function<void(const ClientEvent &)>;

    // Runs the command just started to its end; returns its Done event.
    ClientEvent run(bool started, const EventSink &on_event = {});
    std::uint32_t run_sweep(bool started, const PointSink &on_point);

    Link &link_;
    TesterClient client_;
};

// Parses one sweep reply: "*" gives nullopt, a number its value; anything
// else throws ProtocolError.
Device::Level parse_level(const std::string &line);

} // namespace snt
