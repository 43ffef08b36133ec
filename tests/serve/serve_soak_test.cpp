// snt serve on the virtual board, soaked: four clients at once do random
// things for a bounded number of steps (sweeps with good and bad settings,
// stops, analyses, reads, event streams dropped mid-stream, bad JSON,
// wrong tokens, Hosts and Origins, garbage), each answer checked against
// what that step may get. Meanwhile one page follows the event stream
// throughout. Afterwards the server still answers, every sweep it started
// ended done or stopped, it has the threads and sockets it had before, all
// its event streams are free again, and its memory has grown by less than
// kMemoryGrowth (leaks proper fail its exit status: LeakSanitizer). The
// seed is fixed, so a run can be repeated.
#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "serve_process.h"

namespace snt_test {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kClients = 4;
constexpr int kSteps = 150;                            // per client
constexpr auto kTimeBudget = std::chrono::seconds(30); // the clients stop early if it runs out
constexpr long kMemoryGrowth = 64L << 20;              // resident bytes, after the warm-up
constexpr std::uint32_t kSeed = 20240518;

// What /proc says of the server: a field of its status, its open sockets.
long proc_status(pid_t pid, const std::string &field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

int open_sockets(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            char target[256];
            const ssize_t len = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            n += len > 7 && std::string(target, 7) == "socket:";
        }
        closedir(d);
    }
    return n;
}

// A page that follows the event stream from start to end: every sweep it
// saw begin, and how each ended.
class Watcher {
public:
    Watcher(int port, const std::string &token)
        : thread_([this, port, token] {
              httplib::Client c("127.0.0.1", port);
              c.set_read_timeout(120);
              std::string pending;
              c.Get("/api/events", {{"X-SNT-Token", token}}, [&](const char *data, std::size_t n) {
                  pending.append(data, n);
                  for (auto blank = pending.find("\n\n"); blank != std::string::npos; blank = pending.find("\n\n")) {
                      take(pending.substr(0, blank));
                      pending.erase(0, blank + 2);
                  }
                  return !done_;
              });
          })
    {}
    ~Watcher() { stop(); }
    Watcher(const Watcher &) = delete;
    Watcher &operator=(const Watcher &) = delete;

    void stop()
    {
        done_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::set<std::uint64_t> started() const
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return started_;
    }
    std::map<std::uint64_t, std::string> ended() const
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return ended_;
    }

private:
    void take(const std::string &event)
    {
        if (event.rfind("event: ", 0) != 0) return;
        const std::string name = event.substr(7, event.find('\n') - 7);
        const json d = json::parse(event.substr(event.find("data: ") + 6), nullptr, false);
        const std::lock_guard<std::mutex> lock(mutex_);
        if (name == "sweep") started_.insert(d["id"].get<std::uint64_t>());
        if (name == "end") ended_[d["id"].get<std::uint64_t>()] = d["status"].get<std::string>();
    }

    mutable std::mutex mutex_;
    std::set<std::uint64_t> started_;
    std::map<std::uint64_t, std::string> ended_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// One client: a connection kept alive, and raw ones for what httplib would
// not send.
class Client {
public:
    Client(const ServeProcess &serve, std::uint32_t seed) : serve_(serve), http_("127.0.0.1", serve.port()), rng_(seed)
    {
        http_.set_keep_alive(true);
        http_.set_read_timeout(60);
        http_.set_connection_timeout(30);
    }

    // One random step; a description of what went wrong, or "".
    std::string step()
    {
        const int what = pick(0, 12);
        switch (what) {
        case 0:
            return expect("state", get("/api/state"), {200});
        case 1: {
            std::uint64_t id = 0;
            const int status = post("/api/sweep", good_sweep(), {}, &id);
            if (status == 202) sweeps.push_back(id);
            return expect("sweep", status, {202, 409});
        }
        case 2:
            return expect("bad sweep", post("/api/sweep", bad_sweep()), {400});
        case 3:
            return expect("stop", post("/api/stop", json::object()), {200});
        case 4:
            return expect("analyse", post("/api/analyse", {{"points", trace(pick(1, 500))}}), {200});
        case 5:
            return expect("bad analyse", post("/api/analyse", {{"points", json::array({{1, -1.0}})}}), {400});
        case 6:
            return expect("sweep so far", get("/api/sweep"), {200});
        case 7:
            return stream();
        case 8:
            return expect("bad JSON", raw_post("/api/check", "{\"start\": [", serve_.token(), ""), {400});
        case 9: {
            // One character changed, so that the token is wrong whatever it starts with.
            std::string wrong = serve_.token();
            wrong[0] = wrong[0] == 'f' ? 'e' : 'f';
            return expect("wrong token", raw_post("/api/stop", "{}", wrong, ""), {401});
        }
        case 10:
            return expect("wrong Host", raw_post("/api/stop", "{}", serve_.token(), "evil.example"), {403});
        case 11:
            return expect("wrong Origin", post("/api/stop", json::object(), {{"Origin", "http://evil.example"}}),
                          {403});
        default:
            return garbage();
        }
    }

    std::vector<std::uint64_t> sweeps; // the ids of those it started

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    static std::string expect(const std::string &what, int status, const std::set<int> &allowed)
    {
        return allowed.count(status) ? "" : what + ": status " + std::to_string(status);
    }

    int get(const std::string &path)
    {
        auto r = http_.Get(path, {{"X-SNT-Token", serve_.token()}});
        return r ? r->status : -1;
    }
    int post(const std::string &path, const json &body, httplib::Headers headers = {}, std::uint64_t *id = nullptr)
    {
        headers.emplace("X-SNT-Token", serve_.token());
        auto r = http_.Post(path, headers, body.dump(), "application/json");
        if (r && id) *id = json::parse(r->body, nullptr, false).value("id", std::uint64_t{0});
        return r ? r->status : -1;
    }

    json good_sweep()
    {
        const int points = pick(2, 60);
        switch (pick(0, 2)) {
        case 0:
            return {{"start", "5M"}, {"stop", "16M"}, {"points", points}};
        case 1:
            return {{"start", "20k"}, {"stop", "200M"}, {"points", std::to_string(points)}, {"scale", "log"}};
        default:
            return {{"start", std::to_string(pick(1, 9)) + "M"}, {"stop", "10M"}, {"step", "250k"}};
        }
    }
    json bad_sweep()
    {
        const json bad[] = {{{"start", "16M"}, {"stop", "5M"}, {"points", 10}},
                            {{"start", "5M"}, {"stop", "16M"}, {"points", "lots"}},
                            {{"start", "5M"}, {"stop", "16M"}},
                            {{"start", "5M"}, {"stop", "16M"}, {"points", 10}, {"step", "1M"}},
                            {{"start", "1G"}, {"stop", "2G"}, {"points", 10}},
                            json::array({1, 2, 3})};
        return bad[pick(0, 5)];
    }
    json trace(int n)
    {
        json pts = json::array();
        for (int i = 0; i < n; ++i)
            pts.push_back({5000000 + 1000 * i, pick(0, 9) ? json(1e6 * pick(1, 1000)) : json()});
        return pts;
    }

    // A POST on a connection of its own, with the token and Host given.
    int raw_post(const std::string &path, const std::string &body, const std::string &token, std::string host)
    {
        if (host.empty()) host = serve_.host();
        RawConnection c(serve_.port());
        c.send("POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\nX-SNT-Token: " + token +
               "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
               body);
        return status_of(c.receive(milliseconds(30000), 12));
    }

    // An event stream, read for a while and dropped in the middle.
    std::string stream()
    {
        RawConnection c(serve_.port());
        c.send("GET /api/events?token=" + serve_.token() + " HTTP/1.1\r\nHost: " + serve_.host() + "\r\n\r\n");
        const std::string got = c.receive(milliseconds(30000), 12);
        c.receive(milliseconds(pick(0, 300)), static_cast<std::size_t>(pick(12, 20000)));
        return expect("event stream", status_of(got), {200, 503});
    }

    // Bytes that are not HTTP, or not whole: refused, or the connection
    // closed (or left to time out, when what came is not yet a request).
    std::string garbage()
    {
        RawConnection c(serve_.port());
        std::string bytes(static_cast<std::size_t>(pick(1, 300)), '\0');
        for (char &b : bytes) b = static_cast<char>(pick(0, 255));
        if (pick(0, 1)) bytes = "GET /api/state HTTP/1.1\r\n" + bytes + "\r\n\r\n";
        c.send(bytes);
        std::string answer = c.receive(milliseconds(pick(0, 200)), 12);
        if (answer.empty()) return "";
        answer +=
            c.receive(milliseconds(30000), 12 - std::min<std::size_t>(answer.size(), 12)); // all of its status line
        return expect("garbage", status_of(answer), {400, 401, 403, 404, 405, 411, 413, 414, 415, 431});
    }

    const ServeProcess &serve_;
    httplib::Client http_;
    std::mt19937 rng_;
};

TEST(ServeSoak, ManyClientsDoingRandomThingsLeaveNothingBehind)
{
    // (AddressSanitizer's quarantine of freed memory, 256 MiB by default,
    // would hide what the server itself keeps.)
    ServeProcess serve({"--dut", "bandpass:10.7M:1M", "--noise", "0"}, "127.0.0.1:0",
                       {"ASAN_OPTIONS=quarantine_size_mb=16"});
    const pid_t pid = serve.pid();
    const int sockets_before = open_sockets(pid); // the listening socket
    httplib::Client c("127.0.0.1", serve.port());
    c.set_read_timeout(60);
    const httplib::Headers token{{"X-SNT-Token", serve.token()}};
    const auto state = [&] {
        auto r = c.Get("/api/state", token);
        return r && r->status == 200 ? json::parse(r->body) : json();
    };
    const auto idle = [&] {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        json s = state();
        while (Clock::now() < deadline &&
               !(s.is_object() && s["device"]["job"].get<std::string>().empty() && s["sweep"]["status"] != "running")) {
            std::this_thread::sleep_for(milliseconds(20));
            s = state();
        }
        return s;
    };
    // Warm up: a sweep and an analysis, so what is made once is there.
    ASSERT_EQ(
        c.Post("/api/sweep", token, R"({"start": "5M", "stop": "16M", "points": 50})", "application/json")->status,
        202);
    idle();
    c.stop();
    const long threads_before = proc_status(pid, "Threads");
    const long rss_before = proc_status(pid, "VmRSS") << 10;

    const auto t0 = Clock::now();
    std::set<std::uint64_t> sweeps;
    {
        Watcher watcher(serve.port(), serve.token());
        std::mutex mutex;
        std::vector<std::string> problems;
        std::vector<std::thread> clients;
        clients.reserve(kClients);
        for (int i = 0; i < kClients; ++i) {
            clients.emplace_back([&, i] {
                Client client(serve, kSeed + static_cast<std::uint32_t>(i));
                for (int s = 0; s < kSteps && Clock::now() - t0 < kTimeBudget; ++s) {
                    const std::string problem = client.step();
                    if (problem.empty()) continue;
                    const std::lock_guard<std::mutex> lock(mutex);
                    problems.push_back("client " + std::to_string(i) + " step " + std::to_string(s) + ": " + problem);
                }
                const std::lock_guard<std::mutex> lock(mutex);
                sweeps.insert(client.sweeps.begin(), client.sweeps.end());
            });
        }
        for (auto &t : clients) t.join();
        for (const auto &p : problems) ADD_FAILURE() << p;

        // The server answers; the last sweep is stopped or done.
        ASSERT_EQ(c.Post("/api/stop", token, "{}", "application/json")->status, 200);
        const json after = idle();
        ASSERT_TRUE(after.is_object()) << "snt serve does not answer after the soak";
        EXPECT_NE(after["sweep"]["status"], "running");
        EXPECT_TRUE(after["device"]["connected"]);
        // The sweeps started were one after another (2, 3, ... after the
        // warm-up's): a sweep starts only once the one before has ended. The
        // page saw them end done or stopped; one that came and went between
        // two of its looks it may not have seen at all, and one followed at
        // once by the next it saw replaced.
        std::set<std::uint64_t> expected;
        for (std::uint64_t id = 2; id < 2 + sweeps.size(); ++id) expected.insert(id);
        EXPECT_EQ(sweeps, expected);
        EXPECT_EQ(after["sweep"]["id"].get<std::uint64_t>(), 1 + sweeps.size());
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (watcher.ended().count(1 + sweeps.size()) == 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(milliseconds(20));
        watcher.stop();
        const auto started = watcher.started();
        const auto ended = watcher.ended();
        EXPECT_EQ(started.count(1 + sweeps.size()), 1u) << "the page saw the last sweep";
        for (const auto &[id, status] : ended)
            EXPECT_TRUE(status == "done" || status == "stopped") << "sweep " << id << ": " << status;
        for (const std::uint64_t id : started)
            EXPECT_TRUE(ended.count(id) || started.count(id + 1)) << "sweep " << id << " neither ended nor followed";
        EXPECT_GE(ended.size() * 4, started.size() * 3) << "most ends seen";
    }
    const auto soak = Clock::now() - t0;
    EXPECT_LT(soak, kTimeBudget + std::chrono::seconds(30));
    std::printf("soak: %d clients, %zu sweeps started, %.1f s\n", kClients, sweeps.size(),
                std::chrono::duration<double>(soak).count());

    // Every connection closed by its client is closed by the server too
    // (each within the 5 s a silent connection may stay); every event
    // stream's place is free again; no thread came or went.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (open_sockets(pid) > sockets_before && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(open_sockets(pid), sockets_before);
    EXPECT_EQ(proc_status(pid, "Threads"), threads_before);
    std::vector<std::unique_ptr<RawConnection>> streams;
    for (int i = 0; i < 6; ++i) {
        streams.push_back(std::make_unique<RawConnection>(serve.port()));
        streams.back()->send("GET /api/events?token=" + serve.token() + " HTTP/1.1\r\nHost: " + serve.host() +
                             "\r\n\r\n");
        EXPECT_EQ(status_of(streams.back()->receive(milliseconds(30000), 12)), 200) << "stream " << i;
    }
    const long rss_after = proc_status(pid, "VmRSS") << 10;
    std::printf("soak: resident memory %ld MiB before, %ld MiB after\n", rss_before >> 20, rss_after >> 20);
    EXPECT_LT(rss_after - rss_before, kMemoryGrowth);
    streams.clear();
    EXPECT_EQ(serve.terminate(), 143);
}

} // namespace
} // namespace snt_test
