#include "shells/snt/device.h"

#include "shells/snt/interrupt.h"

namespace snt {

namespace {

[[noreturn]] void throw_failure(const ClientEvent &failed)
{
    switch (failed.failure) {
    case Failure::Protocol:
        throw ProtocolError(failed.text);
    case Failure::Closed:
        throw PortClosed(failed.text);
    case Failure::NoAnswer:
    case Failure::LineTooLong:
    case Failure::Interrupted:
        break;
    }
    throw PortError(failed.text);
}

} // namespace

Device::Level parse_level(const std::string &line)
{
    Device::Level level;
    if (!read_level(line, level)) throw ProtocolError(unexpected_reply(line));
    return level;
}

Device::Device(Link &link, const Timing &timing) : link_(link), client_(link.name(), timing)
{
    run(client_.connect(link_.now()));
}

ClientEvent Device::run(bool started, const EventSink &on_event)
{
    if (!started) throw PortError("the device on " + link_.name() + " is still busy with a command");
    try {
        for (;;) {
            while (auto event = client_.next_event()) {
                if (event->kind == ClientEvent::Kind::Done) return *event;
                if (event->kind == ClientEvent::Kind::Failed) throw_failure(*event);
                if (on_event) on_event(*event);
            }
            const std::string out = client_.take_output();
            if (!out.empty()) link_.write(out);
            check_interrupt();
            const std::string in = link_.read(client_.wake_at().value_or(link_.now()));
            client_.receive(link_.now(), in);
        }
    } catch (const std::exception &e) {
        // Whatever ended the wait (a lost port, Ctrl-C, a sink that threw)
        // ends the command too, so the next one starts afresh.
        client_.abort(e.what());
        while (client_.next_event()) {}
        client_.take_output();
        throw;
    }
}

std::string Device::identify()
{
    run(client_.identify(link_.now()));
    return kIdentification;
}

void Device::set_frequency(std::uint32_t hz) { run(client_.set_frequency(link_.now(), hz)); }
void Device::off() { run(client_.off(link_.now())); }
void Device::calibrate() { run(client_.calibrate(link_.now())); }
void Device::set_crystal(std::uint32_t hz) { run(client_.set_crystal(link_.now(), hz)); }

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

std::uint32_t Device::run_sweep(bool started, const PointSink &on_point)
{
    const ClientEvent done = run(started, [&](const ClientEvent &e) {
        if (e.kind == ClientEvent::Kind::Point && !on_point(e.index, e.level)) client_.stop();
    });
    return done.points;
}

std::uint32_t Device::sweep_points(std::uint32_t start, std::uint32_t step, std::uint32_t points,
                                   const PointSink &on_point, std::uint32_t per_command)
{
    return run_sweep(client_.sweep(link_.now(), start, step, points, per_command), on_point);
}

std::uint32_t Device::sweep_frequencies(const std::vector<std::uint32_t> &frequencies, const PointSink &on_point,
                                        std::uint32_t per_command)
{
    return run_sweep(client_.sweep_frequencies(link_.now(), frequencies, per_command), on_point);
}

void Device::raw(const std::string &line, const std::function<void(const std::string &)> &on_line)
{
    run(client_.raw(link_.now(), line), [&](const ClientEvent &e) {
        if (e.kind == ClientEvent::Kind::Line) on_line(e.text);
    });
}

} // namespace snt
