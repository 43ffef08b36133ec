// The protocol client's state machine through scripted exchanges: bytes in
// at given times, and what it sends, the events it tells and when it wants
// to be woken after each. No port, no board, no clock: the script is the
// tester.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/client/tester_client.h"
#include "protocol.h"

namespace snt {
namespace {

constexpr ClientTime ms(ClientTime n) { return n * 1000; }

const char *failure_name(Failure f)
{
    switch (f) {
    case Failure::NoAnswer:
        return "no answer";
    case Failure::Protocol:
        return "protocol";
    case Failure::LineTooLong:
        return "too long";
    case Failure::Closed:
        return "closed";
    case Failure::Interrupted:
        return "interrupted";
    }
    return "?";
}

// An event as one line of text, for comparing with the script.
std::string text_of(const ClientEvent &e)
{
    char level[32] = "*";
    switch (e.kind) {
    case ClientEvent::Kind::Banner:
        return "banner " + std::to_string(e.crystal);
    case ClientEvent::Kind::Identified:
        return "identified " + e.text;
    case ClientEvent::Kind::Point:
        if (e.level) std::snprintf(level, sizeof level, "%.2f", *e.level);
        return "point " + std::to_string(e.index) + " " + level;
    case ClientEvent::Kind::Line:
        return "line " + e.text;
    case ClientEvent::Kind::Done:
        return e.points > 0 ? "done " + std::to_string(e.points) : "done";
    case ClientEvent::Kind::Failed:
        return std::string("failed (") + failure_name(e.failure) + ") " + e.text;
    }
    return "?";
}

struct Step {
    ClientTime at = 0; // ms
    std::string in;    // bytes that arrive then; none: only time has passed
    std::string out;   // what the client sends after taking them
    std::vector<std::string> events;
    std::optional<ClientTime> wake; // ms; none: no command running any more
};

struct Exchange {
    Exchange(const char *name_, std::function<bool(TesterClient &)> command_, std::string out_,
             std::optional<ClientTime> wake_, std::vector<Step> steps_, Timing timing_ = {},
             std::optional<std::uint32_t> stop_at_point_ = {})
        : name(name_),
          command(std::move(command_)),
          out(std::move(out_)),
          wake(wake_),
          steps(std::move(steps_)),
          timing(timing_),
          stop_at_point(stop_at_point_)
    {}

    const char *name;
    std::function<bool(TesterClient &)> command; // started at time 0
    std::string out;                             // sent at once
    std::optional<ClientTime> wake;              // ms
    std::vector<Step> steps;
    Timing timing;
    std::optional<std::uint32_t> stop_at_point; // stop() once this point is taken
};

const std::string kId = std::string(ID_TEXT) + "\r";

// What the client does after `now`: every event (stopping where asked),
// then what it sends and when it wants to be woken.
void check_after(TesterClient &client, const Exchange &x, const std::string &where, const std::string &out,
                 const std::vector<std::string> &events, std::optional<ClientTime> wake)
{
    std::vector<std::string> seen;
    while (const auto e = client.next_event()) {
        seen.push_back(text_of(*e));
        if (x.stop_at_point && e->kind == ClientEvent::Kind::Point && e->index == *x.stop_at_point) client.stop();
    }
    EXPECT_EQ(seen, events) << x.name << ", " << where;
    EXPECT_EQ(client.take_output(), out) << x.name << ", " << where;
    const auto w = client.wake_at();
    EXPECT_EQ(w ? std::optional<ClientTime>(*w / 1000) : std::nullopt, wake) << x.name << ", " << where;
    EXPECT_EQ(client.busy(), wake.has_value()) << x.name << ", " << where;
}

void play(const Exchange &x)
{
    TesterClient client("/dev/ttyX", x.timing);
    ASSERT_TRUE(x.command(client)) << x.name;
    check_after(client, x, "at the start", x.out, {}, x.wake);
    for (const Step &s : x.steps) {
        if (s.in.empty()) {
            client.tick(ms(s.at));
        } else {
            client.receive(ms(s.at), s.in);
        }
        check_after(client, x, "at " + std::to_string(s.at) + " ms", s.out, s.events, s.wake);
    }
}

// Quick overall limits, for the exchanges that run into them.
Timing short_greeting()
{
    Timing t;
    t.greeting = std::chrono::milliseconds(500);
    t.settle = std::chrono::milliseconds(200);
    return t;
}

Timing short_sweep()
{
    Timing t;
    t.per_point_budget = std::chrono::milliseconds(100);
    t.sweep_slack = std::chrono::milliseconds(100);
    return t;
}

Timing short_raw()
{
    Timing t;
    t.raw_limit = std::chrono::milliseconds(1000);
    return t;
}

const auto connect = [](TesterClient &c) { return c.connect(0); };

const std::vector<Exchange> kGreetings = {
    {"no banner", connect, "w\r", 500, {{1, ID_TEXT "\r\n", "", {"identified " ID_TEXT, "done"}, std::nullopt}}},
    {"a line in two pieces",
     connect,
     "w\r",
     500,
     {{1, "1.3;", "", {}, 500}, {2, "VORN\r", "", {"identified " ID_TEXT, "done"}, std::nullopt}}},
    {"a banner and the answer behind it",
     connect,
     "w\r",
     500,
     {{3, "25000123\r" + kId + kId, "", {"banner 25000123", "identified " ID_TEXT, "done"}, std::nullopt}}},
    {"a banner, our w lost: quiet settles it",
     connect,
     "w\r",
     500,
     {{3, "25000000\r" + kId, "", {"banner 25000000"}, 203},
      {203, "", "", {"identified " ID_TEXT, "done"}, std::nullopt}}},
    {"no answer",
     connect,
     "w\r",
     500,
     {{499, "", "", {}, 500},
      {500,
       "",
       "",
       {"failed (no answer) no answer from the device on /dev/ttyX within 0.5 s (is it connected and powered?)"},
       std::nullopt}}},
    {"levels left over from a sweep",
     connect,
     "w\r",
     500,
     {{1, "1.00\r*\r", "", {}, 500},
      {500,
       "",
       "",
       {"failed (protocol) the device on /dev/ttyX has not identified itself: it keeps sending other lines (is a "
        "sweep still running?)"},
       std::nullopt}}},
    {"banner lines that never end",
     connect,
     "w\r",
     500,
     {{400, "25000000\r", "", {"banner 25000000"}, 900},
      {800, "25000000\r", "", {"banner 25000000"}, 1300},
      {1200, "25000000\r", "", {"banner 25000000"}, 1700},
      {1600, "25000000\r", "", {"banner 25000000"}, 2000},
      {2000,
       "",
       "",
       {"failed (protocol) the device on /dev/ttyX has not identified itself: it keeps sending other lines (is a "
        "sweep still running?)"},
       std::nullopt}}},
    {"no quiet after the banner",
     connect,
     "w\r",
     500,
     {{1, "25000000\r" + kId, "", {"banner 25000000"}, 201},
      {150, "1.00\r", "", {}, 350},
      {300, "1.00\r", "", {}, 500},
      {450, "1.00\r", "", {}, 501},
      {501,
       "",
       "",
       {"failed (protocol) the device on /dev/ttyX has not gone quiet within 0.5 s of its start-up banner"},
       std::nullopt}},
     short_greeting()},
    {"another identification",
     connect,
     "w\r",
     500,
     {{1,
       std::string("1.2\0X\x85\r", 7),
       "",
       {"failed (protocol) unexpected identification: \"1.2\\x00X\\x85\" (expected \"" ID_TEXT "\")"},
       std::nullopt}}},
    {"a line without end",
     connect,
     "w\r",
     500,
     {{1, std::string(200, 'A'), "", {}, 500},
      {2,
       std::string(57, 'A'),
       "",
       {"failed (too long) the device on /dev/ttyX sent a line of more than 256 bytes: \"" + std::string(40, 'A') +
        "\""},
       std::nullopt}}},
};

TEST(ClientGreeting, ScriptedExchanges)
{
    for (const Exchange &x : kGreetings) play(x);
}

const std::vector<Exchange> kCommands = {
    {"identify",
     [](TesterClient &c) { return c.identify(0); },
     "w\r",
     500,
     {{1, kId, "", {"identified " ID_TEXT, "done"}, std::nullopt}}},
    {"identify without answer",
     [](TesterClient &c) { return c.identify(0); },
     "w\r",
     500,
     {{500, "", "", {"failed (no answer) no answer from the device within 0.5 s after \"w\""}, std::nullopt}}},
    {"a silent command, confirmed",
     [](TesterClient &c) { return c.set_frequency(0, 7000000); },
     "f 7000000\rw\r",
     1000,
     {{5, kId, "", {"done"}, std::nullopt}}},
    {"a silent command, not confirmed, is not asked again",
     [](TesterClient &c) { return c.off(0); },
     "o\rw\r",
     1000,
     {{1000, "", "", {"failed (no answer) no answer from the device within 1 s after \"o\""}, std::nullopt}}},
    {"x: the wait, then a lost confirmation asked for once more",
     [](TesterClient &c) { return c.set_crystal(0, 25000123); },
     "x 25000123\r",
     200,
     {{200, "", "w\r", {}, 1200}, {1200, "", "w\r", {}, 2200}, {1250, kId, "", {"done"}, std::nullopt}}},
    {"x: two lost confirmations",
     [](TesterClient &c) { return c.set_crystal(0, 25000123); },
     "x 25000123\r",
     200,
     {{200, "", "w\r", {}, 1200},
      {1200, "", "w\r", {}, 2200},
      {2200,
       "",
       "",
       {"failed (no answer) no answer from the device within 1 s after \"x 25000123\" (asked 2 times)"},
       std::nullopt}}},
    {"x: what comes during the wait is read after the w",
     [](TesterClient &c) { return c.set_crystal(0, 25000123); },
     "x 25000123\r",
     200,
     {{100, kId, "", {}, 200}, {200, "", "w\r", {"done"}, std::nullopt}}},
    {"raw until quiet",
     [](TesterClient &c) { return c.raw(0, "r 1000 2"); },
     "r 1000 2\r",
     500,
     {{30, "1.00\r2.00\r", "", {"line 1.00", "line 2.00"}, 530}, {530, "", "", {"done"}, std::nullopt}}},
    {"raw that never goes quiet",
     [](TesterClient &c) { return c.raw(0, "w"); },
     "w\r",
     500,
     {{400, "1.00\r", "", {"line 1.00"}, 900},
      {800, "1.00\r", "", {"line 1.00"}, 1000},
      {1000, "", "", {"failed (no answer) the device was still sending 1 s after \"w\""}, std::nullopt}},
     short_raw()},
};

TEST(ClientCommands, ScriptedExchanges)
{
    for (const Exchange &x : kCommands) play(x);
}

const auto three_points = [](TesterClient &c) { return c.sweep(0, 1000000, 1000, 3, 2); };

const std::vector<Exchange> kSweeps = {
    {"in commands of two points, each from its own f",
     three_points,
     "f 1000000\rw\r",
     1000,
     {{2, kId, "r 1000 2\r", {}, 502},
      {40, "1.00\r*\r", "f 1002000\rw\r", {"point 0 1.00", "point 1 *"}, 1040},
      {41, kId, "r 1000 1\r", {}, 541},
      {60, "3.00\r", "", {"point 2 3.00", "done 3"}, std::nullopt}}},
    {"stopped: the rest of the command in flight is dropped",
     [](TesterClient &c) { return c.sweep(0, 1000000, 1000, 5, 3); },
     "f 1000000\rw\r",
     1000,
     {{2, kId, "r 1000 3\r", {}, 502},
      {20, "1.00\r", "", {"point 0 1.00"}, 520},
      {40, "2.00\r3.00\r", "", {"done 1"}, std::nullopt}},
     {},
     0},
    {"stopped at the end of a command: nothing more is sent",
     [](TesterClient &c) { return c.sweep(0, 1000000, 1000, 4, 2); },
     "f 1000000\rw\r",
     1000,
     {{2, kId, "r 1000 2\r", {}, 502}, {40, "1.00\r2.00\r", "", {"point 0 1.00", "point 1 2.00", "done 2"}, {}}},
     {},
     1},
    {"listed frequencies: a run of equal steps each, no f where the last run ended",
     [](TesterClient &c) {
         return c.sweep_frequencies(0, {1000, 1100, 1210, 1331});
     },
     "f 1000\rw\r",
     1000,
     {{2, kId, "r 100 1\r", {}, 502},
      {20, "1.00\r", "r 110 1\r", {"point 0 1.00"}, 520},
      {40, "2.00\r", "r 121 2\r", {"point 1 2.00"}, 540},
      {60, "3.00\r4.00\r", "", {"point 2 3.00", "point 3 4.00", "done 4"}, std::nullopt}}},
    {"a point that does not come",
     three_points,
     "f 1000000\rw\r",
     1000,
     {{2, kId, "r 1000 2\r", {}, 502},
      {20, "1.00\r", "", {"point 0 1.00"}, 520},
      {520,
       "",
       "",
       {"failed (no answer) no answer from the device within 0.5 s at sweep point 2 of 3"},
       std::nullopt}}},
    {"a sweep past its overall limit",
     [](TesterClient &c) { return c.sweep(0, 1000000, 1000, 2); },
     "f 1000000\rw\r",
     1000,
     {{2, kId, "r 1000 2\r", {}, 300},
      {300, "", "", {"failed (no answer) the sweep did not finish in time (at point 1 of 2)"}, std::nullopt}},
     short_sweep()},
    {"a reply that is not a level",
     three_points,
     "f 1000000\rw\r",
     1000,
     {{2, kId, "r 1000 2\r", {}, 502},
      {20,
       std::string("12.5\0\xff\r", 7),
       "",
       {"failed (protocol) unexpected reply during a sweep: \"12.5\\x00\\xff\""},
       std::nullopt}}},
};

TEST(ClientSweeps, ScriptedExchanges)
{
    for (const Exchange &x : kSweeps) play(x);
}

TEST(ClientSweeps, NoPointsAreDoneAtOnce)
{
    TesterClient client("p");
    ASSERT_TRUE(client.sweep(0, 1000000, 1000, 0));
    const auto done = client.next_event();
    ASSERT_TRUE(done);
    EXPECT_EQ(text_of(*done), "done");
    EXPECT_FALSE(client.busy());
    EXPECT_EQ(client.take_output(), "");
}

TEST(ClientLink, OneCommandAtATimeAndTheLinksEndIsAFailure)
{
    TesterClient client("p");
    ASSERT_TRUE(client.identify(0));
    EXPECT_FALSE(client.set_frequency(0, 7000000)) << "a second command while one runs";
    EXPECT_EQ(client.take_output(), "w\r");
    client.closed("serial port p was closed at the device's end");
    auto e = client.next_event();
    ASSERT_TRUE(e);
    EXPECT_EQ(text_of(*e), "failed (closed) serial port p was closed at the device's end");
    EXPECT_FALSE(client.busy());

    ASSERT_TRUE(client.sweep(ms(10), 1000000, 1000, 3));
    client.abort("interrupted");
    e = client.next_event();
    ASSERT_TRUE(e);
    EXPECT_EQ(text_of(*e), "failed (interrupted) interrupted");
    EXPECT_FALSE(client.next_event());

    // What arrives between commands waits for the next one, within bounds.
    client.take_output();
    client.receive(ms(20), std::string(10000, 'x'));
    ASSERT_TRUE(client.identify(ms(20)));
    e = client.next_event();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->failure, Failure::LineTooLong) << text_of(*e);
}

TEST(ClientLevels, ReadAsTheFirmwareWritesThem)
{
    std::optional<double> level = 1.0;
    EXPECT_TRUE(read_level("*", level));
    EXPECT_FALSE(level);
    EXPECT_TRUE(read_level("36864000000.00", level));
    EXPECT_EQ(level, 36864000000.0);
    for (const char *bad : {"", "abc", "1.0x", "+1", " 1", "nan", "inf", "1e999"}) {
        EXPECT_FALSE(read_level(bad, level)) << bad;
    }
}

} // namespace
} // namespace snt
