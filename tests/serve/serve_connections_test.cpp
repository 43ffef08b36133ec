// The limits of snt serve's connections, in process, with a fake tester
// and limits short enough to reach: what a client sees at each. (The
// defaults, and the page, are tested through the real server in
// snt_serve_test.) Every wait has a generous deadline and ends as soon as
// what it waits for has happened.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

#include "fake_controller.h"
#include "serve_process.h"
#include "shells/serve/serve_http.h"

namespace snt_test {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPatience{30000};
const std::string kToken = "0123456789abcdef0123456789abcdef";

// A server on 127.0.0.1 and a port of its own, serving from its own thread.
class Limits : public ::testing::Test {
protected:
    static snt::ServeLimits limits()
    {
        snt::ServeLimits l;
        l.router.event_streams = 2;
        l.router.event_wait = milliseconds(20);
        l.router.request.body = 1 << 20;
        l.connections.connections = 6;
        l.connections.workers = 4;
        l.connections.idle = milliseconds(300);
        l.connections.header = milliseconds(300);
        l.connections.request = milliseconds(600);
        l.connections.write = milliseconds(300);
        l.connections.requests_per_connection = 3;
        l.connections.buffered = 3 << 19; // 1.5 MiB
        return l;
    }

    // A fresh tester each time: a server that stops closes its tester.
    void start(const snt::ServeLimits &l = limits())
    {
        server_.reset();
        tester_ = std::make_unique<FakeController>();
        server_ =
            std::make_unique<snt::WebServer>(*tester_, snt::ListenAddress{"127.0.0.1", 0, true}, kToken, "fake", l);
        thread_ = std::thread([this] { server_->run(); });
    }
    void TearDown() override
    {
        if (!server_) return;
        server_->stop();
        thread_.join();
    }

    std::string request(const std::string &path, const std::string &extra = "") const
    {
        return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server_->port()) +
            "\r\nX-SNT-Token: " + kToken + "\r\n" + extra + "\r\n";
    }
    std::unique_ptr<RawConnection> connect() const { return std::make_unique<RawConnection>(server_->port()); }

    // Waits until `done` holds.
    static bool eventually(const std::function<bool()> &done)
    {
        const auto deadline = Clock::now() + kPatience;
        while (!done() && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
        return done();
    }

    static std::string error_of(const std::string &answer)
    {
        const json body = json::parse(body_of(answer), nullptr, false);
        return body.is_object() && body["error"].is_string() ? body["error"].get<std::string>() : "(no JSON error)";
    }

    std::unique_ptr<FakeController> tester_;
    std::unique_ptr<snt::WebServer> server_;
    std::thread thread_;
};

TEST_F(Limits, ASilentClientIsClosedBetweenRequestsAndTooSlowOneIsToldSo)
{
    start();
    auto silent = connect();
    silent->receive(kPatience);
    EXPECT_TRUE(silent->closed()) << "nothing sent: closed without a word";

    auto slow_header = connect();
    slow_header->send("GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    const std::string header_late = slow_header->receive(kPatience);
    EXPECT_EQ(status_of(header_late), 408);
    EXPECT_NE(error_of(header_late).find("header"), std::string::npos);
    EXPECT_TRUE(slow_header->closed());

    // A byte every 50 ms: never idle, never whole.
    auto slow_body = connect();
    slow_body->send(request("/api/analyse", "Content-Length: 100\r\n") + "{\"points\": [");
    std::string body_late;
    for (int i = 0; i < 100 && !slow_body->closed(); ++i) {
        slow_body->send(" ");
        body_late += slow_body->receive(milliseconds(50));
    }
    EXPECT_EQ(status_of(body_late), 408) << body_late;
    EXPECT_NE(error_of(body_late).find("body"), std::string::npos);
    EXPECT_TRUE(slow_body->closed());
}

TEST_F(Limits, AConnectionCarriesAFewRequestsThenIsClosed)
{
    start();
    auto c = connect();
    // Three requests in one go, answered in order; the third answer closes.
    ASSERT_TRUE(c->send(request("/api/state") + request("/api/sweep") + request("/api/state")));
    std::string answers;
    while (!c->closed()) answers += c->receive(kPatience);
    std::size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(status_of(answers.substr(at)), 200) << answers;
        at = answers.find("HTTP/1.1", at + 1);
    }
    EXPECT_NE(answers.find("Connection: close"), std::string::npos);
    EXPECT_NE(answers.find("Keep-Alive: timeout=1, max=3"), std::string::npos) << "what the first answers say";
}

TEST_F(Limits, AStreamWhoseClientDoesNotReadIsDropped)
{
    start();
    ASSERT_EQ(tester_->start_sweep(snt::SweepPlan::make(1000000, 100000000, 300000, std::nullopt)),
              snt::Tester::Answer::Started);
    auto reader = connect();
    reader->send(request("/api/events"));
    EXPECT_EQ(status_of(reader->receive(kPatience, 12)), 200);
    ASSERT_TRUE(eventually([&] { return server_->router().event_streams() == 1; }));
    // Megabytes of points that nobody takes: the write waits, then gives up.
    tester_->measure(300000);
    EXPECT_TRUE(eventually([&] { return server_->router().event_streams() == 0; }));
    // The next stream has its place.
    auto next = connect();
    next->send(request("/api/events"));
    EXPECT_EQ(status_of(next->receive(kPatience, 12)), 200);
}

TEST_F(Limits, OneConnectionTooManyTakesThePlaceOfTheLongestIdle)
{
    snt::ServeLimits l = limits();
    l.connections.idle = kPatience;
    start(l);
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 6; ++i) {
        idle.push_back(connect());
        ASSERT_TRUE(eventually([&] { return server_->connections().open() == idle.size(); }));
    }
    auto late = connect();
    late->send(request("/api/state"));
    EXPECT_EQ(status_of(late->receive(kPatience, 12)), 200);
    idle.front()->receive(kPatience);
    EXPECT_TRUE(idle.front()->closed()) << "the first to come, idle longest, made way";
    idle[1]->receive(milliseconds(100));
    EXPECT_FALSE(idle[1]->closed());

    // When every connection is being answered (streams), one more is refused.
    std::vector<std::unique_ptr<RawConnection>> streams;
    l.router.event_streams = 6;
    l.connections.workers = 8;
    TearDown();
    start(l);
    for (int i = 0; i < 6; ++i) {
        streams.push_back(connect());
        streams.back()->send(request("/api/events"));
        EXPECT_EQ(status_of(streams.back()->receive(kPatience, 12)), 200);
    }
    auto refused = connect();
    refused->send(request("/api/state"));
    const std::string answer = refused->receive(kPatience);
    EXPECT_EQ(status_of(answer), 503) << answer;
    EXPECT_NE(error_of(answer).find("too many connections"), std::string::npos);
}

TEST_F(Limits, BodiesBeyondWhatMayBeHeldAreRefusedAndExpectContinueIsAnswered)
{
    start();
    const std::string body = R"({"points": [[5000000, 1e9]]})";
    auto c = connect();
    c->send("POST /api/analyse HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server_->port()) +
            "\r\nX-SNT-Token: " + kToken + "\r\nContent-Type: application/json\r\nExpect: 100-continue\r\n" +
            "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    EXPECT_EQ(c->receive(kPatience, 25), "HTTP/1.1 100 Continue\r\n\r\n");
    c->send(body);
    const std::string answer = c->receive(kPatience, 12);
    EXPECT_EQ(status_of(answer), 200) << answer;

    // Two bodies of a megabyte on their way at once: only one fits in the
    // 1.5 MiB held. The other is refused; the one taken never comes whole.
    std::vector<std::unique_ptr<RawConnection>> big;
    for (int i = 0; i < 2; ++i) {
        big.push_back(connect());
        big.back()->send(request("/api/analyse", "Content-Type: application/json\r\nContent-Length: 1048576\r\n"));
    }
    std::vector<int> statuses;
    std::string refusal;
    for (auto &b : big) {
        const std::string answer = b->receive(kPatience);
        statuses.push_back(status_of(answer));
        if (statuses.back() == 503) refusal = answer;
    }
    std::sort(statuses.begin(), statuses.end());
    EXPECT_EQ(statuses, (std::vector<int>{408, 503}));
    EXPECT_NE(error_of(refusal).find("too much"), std::string::npos);
}

} // namespace
} // namespace snt_test
