#include "device.h"

#include <charconv>
#include <cmath>

#include "interrupt.h"

namespace snt {

namespace {

using Clock = SerialPort::Clock;

bool all_digits(const std::string &s)
{
    return !s.empty() && s.size() <= 10 && s.find_first_not_of("0123456789") == std::string::npos;
}

bool looks_like_level(const std::string &s)
{
    if (s == "*") return true;
    double v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::string seconds(std::chrono::milliseconds ms)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", static_cast<double>(ms.count()) / 1000.0);
    return buf;
}

} // namespace

Device::Level parse_level(const std::string &line)
{
    if (line == "*") return std::nullopt;
    double v = 0;
    const auto r = std::from_chars(line.data(), line.data() + line.size(), v);
    if (line.empty() || r.ec != std::errc() || r.ptr != line.data() + line.size() || !std::isfinite(v))
        throw ProtocolError("unexpected reply during a sweep: \"" + line + "\"");
    return v;
}

Device::Device(SerialPort &port) : port_(port) { connect(); }

void Device::send(const std::string &line) { port_.write(line + "\r"); }

void Device::connect()
{
    send("w");
    auto deadline = Clock::now() + timing::kIdentify;
    for (;;) {
        const auto line = port_.read_line(deadline);
        if (!line) throw PortError("no answer from the device on " + port_.path() + " within " +
                                   seconds(timing::kIdentify) + " (is it connected and powered?)");
        if (*line == kIdentification) break;
        if (line->empty()) continue;
        if (all_digits(*line)) {
            // The start-up banner: the crystal frequency, then the
            // identification. Our `w` may still be answered after it.
            banner_crystal_ = static_cast<std::uint32_t>(std::stoul(*line));
            deadline = Clock::now() + timing::kIdentify;
            continue;
        }
        // Left over from a sweep an earlier run did not wait for.
        if (looks_like_level(*line)) continue;
        throw ProtocolError("unexpected identification: \"" + *line + "\" (expected \"" + kIdentification + "\")");
    }
    if (banner_crystal_) {
        // The identification may have been the banner's; the answer to our
        // `w` (if the board took it) follows at once. Let it go by.
        while (port_.read_line(Clock::now() + std::chrono::milliseconds(200))) {
        }
    }
}

void Device::expect_identification(std::chrono::milliseconds timeout, const std::string &after)
{
    const auto line = port_.read_line(Clock::now() + timeout);
    if (!line) throw PortError("no answer from the device within " + seconds(timeout) + " after " + after);
    if (*line != kIdentification)
        throw ProtocolError("unexpected identification: \"" + *line + "\" (expected \"" + kIdentification + "\")");
}

std::string Device::identify()
{
    send("w");
    expect_identification(timing::kIdentify, "\"w\"");
    return kIdentification;
}

void Device::silent(const std::string &line)
{
    send(line);
    send("w");
    expect_identification(timing::kSilentCommand, "\"" + line + "\"");
}

void Device::set_frequency(std::uint32_t hz) { silent("f " + std::to_string(hz)); }
void Device::off() { silent("o"); }
void Device::calibrate() { silent("c"); }
void Device::set_crystal(std::uint32_t hz) { silent("x " + std::to_string(hz)); }

std::vector<Device::Level> Device::sweep(std::uint32_t start, std::uint32_t step, std::uint32_t points,
                                         const Progress &progress)
{
    std::vector<Level> levels;
    levels.reserve(points);
    const auto deadline = Clock::now() + timing::kPerPointBudget * points + timing::kSweepSlack;
    while (levels.size() < points) {
        const auto first = static_cast<std::uint32_t>(levels.size());
        const std::uint32_t count = std::min(points - first, kMaxPointsPerCommand);
        // Every `r` starts from a frequency we set ourselves.
        set_frequency(static_cast<std::uint32_t>(start + static_cast<std::uint64_t>(step) * first));
        send("r " + std::to_string(step) + " " + std::to_string(count));
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto line = port_.read_line(std::min(deadline, Clock::now() + timing::kPoint));
            if (!line) {
                const auto n = std::to_string(first + i + 1) + " of " + std::to_string(points);
                if (Clock::now() >= deadline)
                    throw PortError("the sweep did not finish in time (at point " + n + ")");
                throw PortError("no answer from the device within " + seconds(timing::kPoint) + " at sweep point " +
                                n);
            }
            levels.push_back(parse_level(*line));
            if (progress) progress(static_cast<std::uint32_t>(levels.size()), points);
        }
    }
    return levels;
}

std::vector<std::string> Device::raw(const std::string &line)
{
    send(line);
    std::vector<std::string> lines;
    const auto limit = Clock::now() + timing::kRawLimit;
    for (;;) {
        const auto reply = port_.read_line(std::min(limit, Clock::now() + timing::kRawQuiet));
        if (!reply) break;
        lines.push_back(*reply);
    }
    return lines;
}

} // namespace snt
