#include "shells/snt/device.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <thread>

#include "core/text/text.h"
#include "shells/snt/interrupt.h"

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

std::string unexpected_identification(const std::string &line)
{
    return "unexpected identification: " + in_quotes(line) + " (expected \"" + kIdentification + "\")";
}

} // namespace

Device::Level parse_level(const std::string &line)
{
    if (line == "*") return std::nullopt;
    double v = 0;
    const auto r = std::from_chars(line.data(), line.data() + line.size(), v);
    if (line.empty() || r.ec != std::errc() || r.ptr != line.data() + line.size() || !std::isfinite(v))
        throw ProtocolError("unexpected reply during a sweep: " + in_quotes(line));
    return v;
}

Device::Device(SerialPort &port, const Timing &timing) : port_(port), timing_(timing) { connect(); }

void Device::send(const std::string &line) { port_.write(line + "\r"); }

void Device::connect()
{
    send("w");
    // The banner may come first; each of its lines gives the device another
    // `identify` to answer, but never beyond `greeting` in all.
    const auto limit = Clock::now() + timing_.greeting;
    auto deadline = std::min(limit, Clock::now() + timing_.identify);
    bool chatter = false; // lines that were neither banner nor identification
    for (;;) {
        const auto line = port_.read_line(deadline);
        if (!line) {
            if (chatter || deadline == limit)
                throw ProtocolError("the device on " + port_.path() +
                                    " has not identified itself: it keeps sending other lines (is a sweep still "
                                    "running?)");
            throw PortError("no answer from the device on " + port_.path() + " within " + seconds(timing_.identify) +
                            " (is it connected and powered?)");
        }
        if (*line == kIdentification) break;
        if (line->empty()) continue;
        if (all_digits(*line)) {
            // The start-up banner: the crystal frequency, then the
            // identification. Our `w` may still be answered after it.
            banner_crystal_ = static_cast<std::uint32_t>(std::stoul(*line));
            deadline = std::min(limit, Clock::now() + timing_.identify);
            continue;
        }
        // Left over from a sweep an earlier run did not wait for.
        if (looks_like_level(*line)) {
            chatter = true;
            continue;
        }
        throw ProtocolError(unexpected_identification(*line));
    }
    if (banner_crystal_) {
        // The identification may have been the banner's; the answer to our
        // `w` (if the board took it) follows at once. Let it go by, and
        // wait for quiet, but not for ever.
        const auto quiet_limit = Clock::now() + timing_.greeting;
        for (bool first = true;; first = false) {
            const auto quiet_until = Clock::now() + timing_.settle;
            const auto line = port_.read_line(std::min(quiet_until, quiet_limit));
            if (!line) {
                if (quiet_until <= quiet_limit) break;
                throw ProtocolError("the device on " + port_.path() + " has not gone quiet within " +
                                    seconds(timing_.greeting) + " of its start-up banner");
            }
            // The answer to our `w` comes right behind the banner's own
            // identification: once it is here, nothing more is due.
            if (first && *line == kIdentification) break;
        }
    }
}

void Device::expect_identification(std::chrono::milliseconds timeout, const std::string &after)
{
    const auto line = port_.read_line(Clock::now() + timeout);
    if (!line) throw PortError("no answer from the device within " + seconds(timeout) + " after " + after);
    if (*line != kIdentification) throw ProtocolError(unexpected_identification(*line));
}

std::string Device::identify()
{
    send("w");
    expect_identification(timing_.identify, "\"w\"");
    return kIdentification;
}

void Device::silent(const std::string &line, std::chrono::milliseconds pause, int attempts)
{
    send(line);
    for (const auto until = Clock::now() + pause; Clock::now() < until;) {
        check_interrupt();
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(kInterruptPollMs)));
    }
    for (int attempt = 1;; ++attempt) {
        // A `w` that arrived while the chip could not take it leaves at most
        // its letter in the line buffer; the next `w` then completes "ww",
        // which the firmware takes as `w`.
        send("w");
        try {
            expect_identification(timing_.silent_command,
                                  in_quotes(line) +
                                      (attempt > 1 ? " (asked " + std::to_string(attempt) + " times)" : std::string()));
            return;
        } catch (const PortClosed &) {
            throw;
        } catch (const PortError &) {
            if (attempt >= attempts) throw;
        }
    }
}

void Device::set_frequency(std::uint32_t hz) { silent("f " + std::to_string(hz)); }
void Device::off() { silent("o"); }
void Device::calibrate() { silent("c"); }
void Device::set_crystal(std::uint32_t hz)
{
    silent("x " + std::to_string(hz), timing_.flash_write, timing_.flash_confirmations);
}

std::vector<Device::Level> Device::sweep(std::uint32_t start, std::uint32_t step, std::uint32_t points,
                                         const Progress &progress)
{
    std::vector<Level> levels;
    levels.reserve(points);
    sweep_points(start, step, points, [&](std::uint32_t, Level level) {
        levels.push_back(level);
        if (progress) progress(static_cast<std::uint32_t>(levels.size()), points);
        return true;
    });
    return levels;
}

std::uint32_t Device::sweep_points(std::uint32_t start, std::uint32_t step, std::uint32_t points,
                                   const PointSink &on_point, std::uint32_t per_command)
{
    per_command = std::max<std::uint32_t>(1, std::min(per_command, kMaxPointsPerCommand));
    std::uint32_t done = 0;
    const auto deadline = Clock::now() + timing_.per_point_budget * points + timing_.sweep_slack;
    bool stopping = false;
    while (done < points && !stopping) {
        const std::uint32_t first = done;
        const std::uint32_t count = std::min(points - first, per_command);
        // Every `r` starts from a frequency we set ourselves.
        set_frequency(static_cast<std::uint32_t>(start + static_cast<std::uint64_t>(step) * first));
        send("r " + std::to_string(step) + " " + std::to_string(count));
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto line = port_.read_line(std::min(deadline, Clock::now() + timing_.point));
            if (!line) {
                const auto n = std::to_string(first + i + 1) + " of " + std::to_string(points);
                if (Clock::now() >= deadline) throw PortError("the sweep did not finish in time (at point " + n + ")");
                throw PortError("no answer from the device within " + seconds(timing_.point) + " at sweep point " + n);
            }
            const Level level = parse_level(*line);
            if (stopping) continue; // the rest of this command, dropped
            ++done;
            if (!on_point(first + i, level)) stopping = true;
        }
    }
    return done;
}

std::uint32_t Device::sweep_frequencies(const std::vector<std::uint32_t> &frequencies, const PointSink &on_point,
                                        std::uint32_t per_command)
{
    per_command = std::max<std::uint32_t>(1, std::min(per_command, kMaxPointsPerCommand));
    const auto n = static_cast<std::uint32_t>(frequencies.size());
    const auto deadline = Clock::now() + timing_.per_point_budget * n + timing_.sweep_slack;
    const auto spacing = [&frequencies](std::uint32_t i) { return frequencies[i + 1] - frequencies[i]; };
    std::optional<std::uint32_t> at; // where the firmware's frequency is, when we know
    std::uint32_t done = 0;
    bool stopping = false;
    while (done < n && !stopping) {
        const std::uint32_t first = done;
        // The step leads on to the next point; the last point keeps the
        // step before it.
        const std::uint32_t step = first + 1 < n ? spacing(first) : first > 0 ? spacing(first - 1) : 0;
        std::uint32_t count = 1;
        // A point joins the run when the step after it is the same, so the
        // run ends where the next one begins.
        while (first + count < n && count < per_command && (first + count + 1 == n || spacing(first + count) == step))
            ++count;
        if (at != frequencies[first]) set_frequency(frequencies[first]);
        send("r " + std::to_string(step) + " " + std::to_string(count));
        at = static_cast<std::uint32_t>(frequencies[first] + static_cast<std::uint64_t>(step) * count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto line = port_.read_line(std::min(deadline, Clock::now() + timing_.point));
            if (!line) {
                const auto which = std::to_string(first + i + 1) + " of " + std::to_string(n);
                if (Clock::now() >= deadline)
                    throw PortError("the sweep did not finish in time (at point " + which + ")");
                throw PortError("no answer from the device within " + seconds(timing_.point) + " at sweep point " +
                                which);
            }
            const Level level = parse_level(*line);
            if (stopping) continue; // the rest of this command, dropped
            ++done;
            if (!on_point(first + i, level)) stopping = true;
        }
    }
    return done;
}

void Device::raw(const std::string &line, const std::function<void(const std::string &)> &on_line)
{
    send(line);
    const auto limit = Clock::now() + timing_.raw_limit;
    for (;;) {
        const auto quiet_until = Clock::now() + timing_.raw_quiet;
        const auto reply = port_.read_line(std::min(limit, quiet_until));
        if (!reply) {
            if (quiet_until <= limit) return;
            throw PortError("the device was still sending " + seconds(timing_.raw_limit) + " after " + in_quotes(line));
        }
        on_line(*reply);
    }
}

} // namespace snt
