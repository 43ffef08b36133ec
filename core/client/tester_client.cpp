#include "core/client/tester_client.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/text/from_chars.h"
#include "core/text/text.h"

namespace snt {

namespace {

// While no command runs nothing reads the line: what arrives meanwhile is
// kept up to this much, as a port's buffer would keep it.
constexpr std::size_t kMaxIdleBytes = 4096;

bool all_digits(std::string_view s)
{
    return !s.empty() && s.size() <= 10 && s.find_first_not_of("0123456789") == std::string_view::npos;
}

std::uint32_t digits_value(std::string_view s)
{
    std::uint64_t v = 0;
    for (const char c : s) v = v * 10 + static_cast<std::uint64_t>(c - '0');
    return static_cast<std::uint32_t>(v);
}

bool looks_like_level(std::string_view s)
{
    if (s == "*") return true;
    double v = 0;
    const auto r = snt_text::from_chars(s.data(), s.data() + s.size(), v);
    return !s.empty() && r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::string seconds(std::chrono::milliseconds ms)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", static_cast<double>(ms.count()) / 1000.0);
    return buf;
}

std::string unexpected_identification(std::string_view line)
{
    return "unexpected identification: " + in_quotes(line) + " (expected \"" + kIdentification + "\")";
}

std::string point_of(std::uint32_t index, std::uint32_t points)
{
    return std::to_string(index + 1) + " of " + std::to_string(points);
}

} // namespace

bool read_level(std::string_view line, std::optional<double> &level)
{
    if (line == "*") {
        level.reset();
        return true;
    }
    double v = 0;
    const auto r = snt_text::from_chars(line.data(), line.data() + line.size(), v);
    if (line.empty() || r.ec != std::errc() || r.ptr != line.data() + line.size() || !std::isfinite(v)) return false;
    level = v;
    return true;
}

std::string unexpected_reply(std::string_view line) { return "unexpected reply during a sweep: " + in_quotes(line); }

TesterClient::TesterClient(std::string_view port_name, const Timing &timing)
    : port_(printable(port_name)), timing_(timing)
{}

// ---------------------------------------------------------------- commands

bool TesterClient::start(ClientTime now, Job job)
{
    if (busy()) return false;
    now_ = now;
    job_ = job;
    return true;
}

void TesterClient::send(const std::string &line)
{
    tx_ += line;
    tx_ += '\r';
}

bool TesterClient::connect(ClientTime now)
{
    if (!start(now, Job::Connect)) return false;
    banner_crystal_.reset();
    send("w");
    // The banner may come first; each of its lines gives the device another
    // `identify` to answer, but never beyond `greeting` in all.
    phase_ = Phase::Greeting;
    limit_ = after(timing_.greeting);
    deadline_ = std::min(limit_, after(timing_.identify));
    chatter_ = false;
    return true;
}

bool TesterClient::identify(ClientTime now)
{
    if (!start(now, Job::Identify)) return false;
    send("w");
    phase_ = Phase::Identifying;
    deadline_ = after(timing_.identify);
    return true;
}

bool TesterClient::set_frequency(ClientTime now, std::uint32_t hz)
{
    if (!start(now, Job::Silent)) return false;
    start_silent("f " + std::to_string(hz), {}, 1);
    return true;
}

bool TesterClient::off(ClientTime now)
{
    if (!start(now, Job::Silent)) return false;
    start_silent("o", {}, 1);
    return true;
}

bool TesterClient::calibrate(ClientTime now)
{
    if (!start(now, Job::Silent)) return false;
    start_silent("c", {}, 1);
    return true;
}

bool TesterClient::set_crystal(ClientTime now, std::uint32_t hz)
{
    if (!start(now, Job::Silent)) return false;
    start_silent("x " + std::to_string(hz), timing_.flash_write, timing_.flash_confirmations);
    return true;
}

bool TesterClient::sweep(ClientTime now, std::uint32_t start, std::uint32_t step, std::uint32_t points,
                         std::uint32_t per_command)
{
    if (!this->start(now, Job::Sweep)) return false;
    sweep_ = Sweep{};
    sweep_.start = start;
    sweep_.step = step;
    sweep_.points = points;
    begin_sweep(per_command);
    return true;
}

bool TesterClient::sweep_frequencies(ClientTime now, std::vector<std::uint32_t> frequencies, std::uint32_t per_command)
{
    if (!start(now, Job::Sweep)) return false;
    sweep_ = Sweep{};
    sweep_.listed = true;
    sweep_.points = static_cast<std::uint32_t>(frequencies.size());
    sweep_.frequencies = std::move(frequencies);
    begin_sweep(per_command);
    return true;
}

void TesterClient::begin_sweep(std::uint32_t per_command)
{
    sweep_.per_command = std::max<std::uint32_t>(1, std::min(per_command, kMaxPointsPerCommand));
    sweep_.deadline = after(timing_.per_point_budget * sweep_.points + timing_.sweep_slack);
    next_run();
}

bool TesterClient::raw(ClientTime now, const std::string &line)
{
    if (!start(now, Job::Raw)) return false;
    silent_line_ = line;
    send(line);
    phase_ = Phase::Raw;
    limit_ = after(timing_.raw_limit);
    quiet_until_ = after(timing_.raw_quiet);
    deadline_ = std::min(limit_, quiet_until_);
    return true;
}

void TesterClient::stop()
{
    if (job_ == Job::Sweep) sweep_.stopping = true;
}

// ------------------------------------------------------------ the link

void TesterClient::receive(ClientTime now, std::string_view bytes)
{
    now_ = now;
    if (rx_begin_ > 0 && rx_begin_ * 2 >= rx_.size()) {
        rx_.erase(0, rx_begin_);
        rx_begin_ = 0;
    }
    for (const char c : bytes) {
        if (!busy() && rx_.size() - rx_begin_ >= kMaxIdleBytes) break;
        if (c != '\n') rx_ += c; // line feeds are dropped
    }
}

void TesterClient::closed(const std::string &why)
{
    if (busy()) fail(Failure::Closed, why);
}

void TesterClient::abort(const std::string &why)
{
    if (busy()) fail(Failure::Interrupted, why);
}

std::optional<ClientEvent> TesterClient::next_event()
{
    while (events_.empty() && advance()) {}
    if (events_.empty()) return std::nullopt;
    ClientEvent e = std::move(events_.front());
    events_.pop_front();
    return e;
}

std::string TesterClient::take_output()
{
    std::string out;
    out.swap(tx_);
    return out;
}

std::optional<ClientTime> TesterClient::wake_at() const
{
    if (!busy()) return std::nullopt;
    if (!events_.empty() || phase_ == Phase::RunDone) return now_;
    return deadline_;
}

// ------------------------------------------------------ the state machine

TesterClient::Take TesterClient::take_line(std::string &line)
{
    const auto cr = rx_.find('\r', rx_begin_);
    const std::size_t length = (cr == std::string::npos ? rx_.size() : cr) - rx_begin_;
    // However long the device goes on without a carriage return, we hold
    // no more than one line's worth.
    if (length > kMaxReplyLine) return Take::TooLong;
    if (cr == std::string::npos) return Take::None;
    line.assign(rx_, rx_begin_, length);
    rx_begin_ = cr + 1;
    if (rx_begin_ == rx_.size()) {
        rx_.clear();
        rx_begin_ = 0;
    }
    return Take::Line;
}

// One step: a line taken, or a wait that has ended. False when there is
// nothing to do until more bytes or more time.
bool TesterClient::advance()
{
    if (job_ == Job::None) return false;
    if (phase_ == Phase::RunDone) {
        next_run();
        return true;
    }
    // While a silent command runs its `w` has not gone out: whatever comes
    // is read after it.
    if (phase_ != Phase::Pausing) {
        std::string line;
        switch (take_line(line)) {
        case Take::Line:
            on_line(line);
            return true;
        case Take::TooLong:
            fail(Failure::LineTooLong,
                 "the device on " + port_ + " sent a line of more than " + std::to_string(kMaxReplyLine) +
                     " bytes: " + in_quotes(std::string_view(rx_).substr(rx_begin_, 40)));
            return true;
        case Take::None:
            break;
        }
    }
    if (now_ < deadline_) return false;
    on_time();
    return true;
}

void TesterClient::on_line(const std::string &line)
{
    switch (phase_) {
    case Phase::Greeting:
        greeting_line(line);
        return;
    case Phase::Settling:
        // The answer to our `w` comes right behind the banner's own
        // identification: once it is here, nothing more is due.
        if (first_ && line == kIdentification) {
            settled();
            return;
        }
        first_ = false;
        quiet_until_ = after(timing_.settle);
        deadline_ = std::min(quiet_until_, limit_);
        return;
    case Phase::Identifying:
    case Phase::Confirming:
        if (line != kIdentification) {
            fail(Failure::Protocol, unexpected_identification(line));
        } else if (phase_ == Phase::Identifying) {
            settled();
        } else {
            confirmed();
        }
        return;
    case Phase::Points:
        point_line(line);
        return;
    case Phase::Raw: {
        ClientEvent e;
        e.kind = ClientEvent::Kind::Line;
        e.text = line;
        events_.push_back(std::move(e));
        quiet_until_ = after(timing_.raw_quiet);
        deadline_ = std::min(limit_, quiet_until_);
        return;
    }
    case Phase::Pausing:
    case Phase::RunDone:
        return;
    }
}

void TesterClient::on_time()
{
    switch (phase_) {
    case Phase::Greeting:
        if (chatter_ || deadline_ == limit_)
            fail(Failure::Protocol,
                 "the device on " + port_ +
                     " has not identified itself: it keeps sending other lines (is a sweep still "
                     "running?)");
        else
            fail(Failure::NoAnswer,
                 "no answer from the device on " + port_ + " within " + seconds(timing_.identify) +
                     " (is it connected and powered?)");
        return;
    case Phase::Settling:
        if (quiet_until_ <= limit_)
            settled();
        else
            fail(Failure::Protocol,
                 "the device on " + port_ + " has not gone quiet within " + seconds(timing_.greeting) +
                     " of its start-up banner");
        return;
    case Phase::Identifying:
        fail(Failure::NoAnswer, "no answer from the device within " + seconds(timing_.identify) + " after \"w\"");
        return;
    case Phase::Pausing:
        confirm();
        return;
    case Phase::Confirming:
        if (attempt_ < attempts_) {
            confirm();
            return;
        }
        fail(Failure::NoAnswer,
             "no answer from the device within " + seconds(timing_.silent_command) + " after " +
                 in_quotes(silent_line_) +
                 (attempt_ > 1 ? " (asked " + std::to_string(attempt_) + " times)" : std::string()));
        return;
    case Phase::Points: {
        const std::string which = point_of(sweep_.first + sweep_.taken, sweep_.points);
        if (now_ >= sweep_.deadline)
            fail(Failure::NoAnswer, "the sweep did not finish in time (at point " + which + ")");
        else
            fail(Failure::NoAnswer,
                 "no answer from the device within " + seconds(timing_.point) + " at sweep point " + which);
        return;
    }
    case Phase::Raw:
        if (quiet_until_ <= limit_)
            finish_done();
        else
            fail(Failure::NoAnswer,
                 "the device was still sending " + seconds(timing_.raw_limit) + " after " + in_quotes(silent_line_));
        return;
    case Phase::RunDone:
        return;
    }
}

void TesterClient::greeting_line(const std::string &line)
{
    if (line == kIdentification) {
        if (!banner_crystal_) {
            settled();
            return;
        }
        // The identification may have been the banner's; the answer to our
        // `w` (if the board took it) follows at once. Let it go by, and
        // wait for quiet, but not for ever.
        phase_ = Phase::Settling;
        limit_ = after(timing_.greeting);
        first_ = true;
        quiet_until_ = after(timing_.settle);
        deadline_ = std::min(quiet_until_, limit_);
        return;
    }
    if (line.empty()) return;
    if (all_digits(line)) {
        // The start-up banner: the crystal frequency, then the
        // identification. Our `w` may still be answered after it.
        banner_crystal_ = digits_value(line);
        ClientEvent e;
        e.kind = ClientEvent::Kind::Banner;
        e.crystal = *banner_crystal_;
        events_.push_back(std::move(e));
        deadline_ = std::min(limit_, after(timing_.identify));
        return;
    }
    // Left over from a sweep an earlier run did not wait for.
    if (looks_like_level(line)) {
        chatter_ = true;
        return;
    }
    fail(Failure::Protocol, unexpected_identification(line));
}

void TesterClient::settled()
{
    ClientEvent e;
    e.kind = ClientEvent::Kind::Identified;
    e.text = kIdentification;
    events_.push_back(std::move(e));
    finish_done();
}

void TesterClient::start_silent(const std::string &line, std::chrono::milliseconds pause, int attempts)
{
    silent_line_ = line;
    attempt_ = 0;
    attempts_ = attempts;
    send(line);
    if (pause.count() > 0) {
        phase_ = Phase::Pausing;
        deadline_ = after(pause);
    } else {
        confirm();
    }
}

void TesterClient::confirm()
{
    // A `w` that arrived while the chip could not take it leaves at most
    // its letter in the line buffer; the next `w` then completes "ww",
    // which the firmware takes as `w`.
    ++attempt_;
    send("w");
    phase_ = Phase::Confirming;
    deadline_ = after(timing_.silent_command);
}

void TesterClient::confirmed()
{
    if (job_ != Job::Sweep) {
        finish_done();
    } else if (sweep_.stopping) {
        next_run(); // stopped before the run began: it ends here
    } else {
        send_run();
    }
}

void TesterClient::send_run()
{
    Sweep &s = sweep_;
    send("r " + std::to_string(s.run_step) + " " + std::to_string(s.count));
    if (s.listed) s.at = static_cast<std::uint32_t>(s.frequencies[s.first] + std::uint64_t{s.run_step} * s.count);
    phase_ = Phase::Points;
    deadline_ = std::min(s.deadline, after(timing_.point));
}

void TesterClient::next_run()
{
    Sweep &s = sweep_;
    if (s.done >= s.points || s.stopping) {
        ClientEvent e;
        e.points = s.done;
        finish(std::move(e));
        return;
    }
    s.first = s.done;
    s.taken = 0;
    std::uint32_t from = 0;
    bool set = true;
    if (!s.listed) {
        // Every `r` starts from a frequency we set ourselves.
        s.count = std::min(s.points - s.first, s.per_command);
        s.run_step = s.step;
        from = static_cast<std::uint32_t>(s.start + std::uint64_t{s.step} * s.first);
    } else {
        const auto &f = s.frequencies;
        const auto spacing = [&f](std::uint32_t i) { return f[i + 1] - f[i]; };
        // The step leads on to the next point; the last point keeps the
        // step before it.
        s.run_step = s.first + 1 < s.points ? spacing(s.first) : s.first > 0 ? spacing(s.first - 1) : 0;
        s.count = 1;
        // A point joins the run when the step after it is the same, so the
        // run ends where the next one begins.
        while (s.first + s.count < s.points && s.count < s.per_command &&
               (s.first + s.count + 1 == s.points || spacing(s.first + s.count) == s.run_step))
            ++s.count;
        from = f[s.first];
        set = s.at != from;
    }
    if (set) {
        start_silent("f " + std::to_string(from), {}, 1);
    } else {
        send_run();
    }
}

void TesterClient::point_line(const std::string &line)
{
    Sweep &s = sweep_;
    std::optional<double> level;
    if (!read_level(line, level)) {
        fail(Failure::Protocol, unexpected_reply(line));
        return;
    }
    const std::uint32_t index = s.first + s.taken;
    ++s.taken;
    if (!s.stopping) { // else the rest of this command, dropped
        ++s.done;
        ClientEvent e;
        e.kind = ClientEvent::Kind::Point;
        e.index = index;
        e.level = level;
        events_.push_back(std::move(e));
    }
    if (s.taken == s.count) {
        phase_ = Phase::RunDone;
    } else {
        deadline_ = std::min(s.deadline, after(timing_.point));
    }
}

void TesterClient::finish(ClientEvent event)
{
    events_.push_back(std::move(event));
    job_ = Job::None;
    sweep_ = Sweep{};
}

void TesterClient::fail(Failure failure, const std::string &message)
{
    ClientEvent e;
    e.kind = ClientEvent::Kind::Failed;
    e.failure = failure;
    e.text = message;
    finish(std::move(e));
}

} // namespace snt
