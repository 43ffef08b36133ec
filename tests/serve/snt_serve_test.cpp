// `snt serve` through its HTTP interface, as the page uses it: against the
// virtual board that snt starts itself, on 127.0.0.1 and a port the system
// picks. Every wait is bounded by a generous deadline and ends as soon as
// what it waits for has happened, so a loaded machine makes the tests
// slower, not flaky.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <utility>

#include "board_fixture.h"
#include "protocol.h"
#include "serve_process.h"
#include "temp_dir.h"

namespace snt_test {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr auto kPatience = ServeProcess::kPatience;

struct Reply {
    int status = 0;
    json body;
};

class ServeTest : public ::testing::Test {
protected:
    static std::vector<std::string> device_options() { return {"--dut", "bandpass:10.7M:1M", "--noise", "0"}; }

    ServeTest() : serve_(device_options()), client_("127.0.0.1", serve_.port())
    {
        client_.set_connection_timeout(30);
        client_.set_read_timeout(60);
        client_.set_write_timeout(30);
    }

    Reply get(const std::string &path, httplib::Headers headers = {}, bool with_token = true)
    {
        if (with_token) headers.emplace("X-SNT-Token", serve_.token());
        auto r = client_.Get(path, headers);
        if (!r) throw std::runtime_error("GET " + path + " failed: " + httplib::to_string(r.error()));
        return {r->status, r->body.empty() ? json() : json::parse(r->body, nullptr, false)};
    }

    Reply post(const std::string &path, const json &body, bool with_token = true, httplib::Headers headers = {})
    {
        if (with_token) headers.emplace("X-SNT-Token", serve_.token());
        auto r = client_.Post(path, headers, body.dump(), "application/json");
        if (!r) throw std::runtime_error("POST " + path + " failed: " + httplib::to_string(r.error()));
        return {r->status, json::parse(r->body, nullptr, false)};
    }

    // Polls /api/state until `done` holds (or the deadline passes).
    json wait_for(const std::function<bool(const json &)> &done)
    {
        const auto deadline = Clock::now() + kPatience;
        json s;
        while (Clock::now() < deadline) {
            s = get("/api/state").body;
            if (done(s)) return s;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "gave up waiting; last state " << s.dump();
        return s;
    }

    // No job on the device (its job is the empty string).
    static bool device_idle(const json &st)
    {
        const json &job = st["device"]["job"];
        return job.is_string() && job.get_ref<const std::string &>().empty();
    }

    std::size_t points_so_far() { return get("/api/sweep").body["points"].size(); }

    static json sweep_settings(const std::string &points)
    {
        return {{"start", "5M"}, {"stop", "16M"}, {"points", points}};
    }

    ServeProcess serve_;
    httplib::Client client_;
};

// The events of /api/events until the sweep ends: every "points" event in
// the order the stream sent them, and the "end" event.
struct Stream {
    std::vector<json> points;
    json end;
    bool saw_sweep = false;
};

Stream follow_sweep(int port, const std::string &token, std::uint64_t id)
{
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(60);
    // Built whole at the end, not default-constructed: clang-tidy takes
    // Stream's implicit (noexcept) default constructor for one that may throw.
    std::vector<json> points;
    json end;
    bool saw_sweep = false;
    std::string pending;
    const auto deadline = Clock::now() + kPatience;
    c.Get("/api/events", {{"X-SNT-Token", token}}, [&](const char *data, std::size_t n) {
        pending.append(data, n);
        for (auto blank = pending.find("\n\n"); blank != std::string::npos; blank = pending.find("\n\n")) {
            const std::string ev = pending.substr(0, blank);
            pending.erase(0, blank + 2);
            if (ev.rfind("event: ", 0) != 0) continue;
            const auto nl = ev.find('\n');
            const std::string name = ev.substr(7, nl - 7);
            const json d = json::parse(ev.substr(ev.find("data: ") + 6));
            if (name == "sweep" && d["id"] == id) saw_sweep = true;
            if (name == "points" && d["sweep"] == id) points.push_back(d);
            if (name == "end" && d["id"] == id) {
                end = d;
                return false;
            }
        }
        return Clock::now() < deadline;
    });
    return Stream{std::move(points), std::move(end), saw_sweep};
}

// The command line's CSV rows for the same settings: frequency and level.
std::vector<std::pair<std::uint32_t, double>> command_line_sweep(const std::vector<std::string> &device,
                                                                 const std::vector<std::string> &settings,
                                                                 std::string *summary = nullptr)
{
    std::vector<std::string> argv{built_program("snt")};
    argv.insert(argv.end(), device.begin(), device.end());
    argv.push_back("sweep");
    argv.insert(argv.end(), settings.begin(), settings.end());
    const ProcessResult r = run_process(argv, "", 120);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    if (summary) *summary = r.err;
    std::vector<std::pair<std::uint32_t, double>> rows;
    std::istringstream in(r.out);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "frequency_hz,level,db");
    while (std::getline(in, line)) {
        const auto c1 = line.find(','), c2 = line.find(',', c1 + 1);
        rows.emplace_back(static_cast<std::uint32_t>(std::stoul(line.substr(0, c1))),
                          std::stod(line.substr(c1 + 1, c2 - c1 - 1)));
    }
    return rows;
}

TEST_F(ServeTest, PrintsItsAddressWithTokenAndServesTheEmbeddedPage)
{
    EXPECT_NE(serve_.printed().find("/?token="), std::string::npos);
    EXPECT_EQ(serve_.token().size(), 32u);
    auto page = client_.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<canvas id=\"chart\""), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
    for (const char *path : {"/js/app.js", "/js/panels.js", "/style.css", "/chart.min.js"}) {
        auto r = client_.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 200) << path;
        EXPECT_GT(r->body.size(), 1000u) << path;
    }
    EXPECT_NE(client_.Get("/chart.min.js")->body.find("Chart.js v3"), std::string::npos);
    // The page learns that the server owns the tester: no WebAssembly here.
    EXPECT_EQ(json::parse(client_.Get("/site.json")->body)["server"], true);
    EXPECT_EQ(client_.Get("/snt.wasm")->status, 404);
    EXPECT_EQ(client_.Get("/etc/passwd")->status, 404);
    EXPECT_EQ(client_.Get("/../CMakeLists.txt")->status, 404);

    const json s = get("/api/state").body;
    EXPECT_TRUE(s["device"]["connected"]);
    EXPECT_EQ(s["device"]["identification"], ID_TEXT);
    EXPECT_EQ(s["device"]["crystal"], 25000000);
    EXPECT_EQ(s["analysis"]["full_scale"], "full scale (3.6864e10)");
}

TEST_F(ServeTest, SweepPointsArriveInOrderAndMatchTheCommandLine)
{
    const Reply r = post("/api/sweep", sweep_settings("221"));
    ASSERT_EQ(r.status, 202) << r.body.dump();
    const std::uint64_t id = r.body["id"];
    EXPECT_EQ(r.body["plan"]["step"], 50000);
    const Stream s = follow_sweep(serve_.port(), serve_.token(), id);
    ASSERT_TRUE(s.saw_sweep);
    ASSERT_EQ(s.end["status"], "done") << s.end.dump();

    std::vector<std::pair<std::uint32_t, double>> served;
    for (const json &ev : s.points) {
        // Each batch continues exactly where the one before ended.
        ASSERT_EQ(ev["first"].get<std::size_t>(), served.size());
        for (const json &p : ev["points"]) served.emplace_back(p[0].get<std::uint32_t>(), p[1].get<double>());
    }
    std::string summary;
    const auto cli =
        command_line_sweep(device_options(), {"--start", "5M", "--stop", "16M", "--points", "221"}, &summary);
    ASSERT_EQ(served.size(), 221u);
    ASSERT_EQ(cli.size(), served.size());
    // The same frequencies, in order. The levels are the same measurement
    // of the same filter; on the virtual board where in the 1 kHz beat a
    // measurement starts depends on the commands sent before it, so the
    // same settings read within a few hundredths of a dB of each other.
    for (std::size_t i = 0; i < cli.size(); ++i) {
        ASSERT_EQ(served[i].first, cli[i].first) << "point " << i;
        EXPECT_NEAR(10 * std::log10(served[i].second / cli[i].second), 0.0, 0.1) << "point " << i;
    }
    // The whole sweep, fetched at once, is the stream's.
    const json all = get("/api/sweep").body;
    ASSERT_EQ(all["points"].size(), 221u);
    for (std::size_t i = 0; i < 221; ++i) EXPECT_EQ(all["points"][i][1].get<double>(), served[i].second);

    // The summary of the served points, computed as the command line does.
    json pts = json::array();
    for (const auto &[f, level] : served) pts.push_back({f, level});
    const Reply a = post("/api/analyse", {{"points", pts}});
    ASSERT_EQ(a.status, 200) << a.body.dump();
    // The peak's neighbours lie 0.04 dB below it: the maximum is at 10.7 MHz
    // or next to it.
    EXPECT_NEAR(a.body["summary"]["max"]["frequency"].get<double>(), 10700000, 50000);
    EXPECT_NEAR(a.body["summary"]["bandwidth"].get<double>(), 998000, 3000);
    EXPECT_NE(summary.find("maximum "), std::string::npos) << summary;
    EXPECT_EQ(a.body["summary"]["text"].get<std::string>().rfind("maximum ", 0), 0u);
    EXPECT_NE(a.body["summary"]["text"].get<std::string>().find("-3 dB bandwidth: "), std::string::npos);
    EXPECT_EQ(a.body["csv"].get<std::string>().substr(0, 22), "frequency_hz,level,db\n");
    // The markers' texts and every point's readout, worded as the summary.
    const std::string max = a.body["summary"]["texts"]["max"];
    EXPECT_EQ(a.body["summary"]["text"].get<std::string>().rfind("maximum " + max + "\n", 0), 0u) << max;
    ASSERT_EQ(a.body["texts"].size(), 221u);
    EXPECT_NE(a.body["texts"][0].get<std::string>().find(" dB at 5 MHz"), std::string::npos);
}

TEST_F(ServeTest, ReferenceNormalisesToZeroDecibels)
{
    json pts = json::array({{5000000, 1.5e9}, {5050000, 3e9}, {5100000, nullptr}});
    const Reply a = post("/api/analyse", {{"points", pts}, {"reference", pts}});
    ASSERT_EQ(a.status, 200) << a.body.dump();
    EXPECT_EQ(a.body["db"][0], 0.0);
    EXPECT_EQ(a.body["db"][1], 0.0);
    EXPECT_TRUE(a.body["db"][2].is_null());
    const Reply full = post("/api/analyse", {{"points", pts}});
    EXPECT_NEAR(full.body["db"][0].get<double>(), 10 * std::log10(1.5e9 / 3.6864e10), 1e-9);

    const Reply shifted =
        post("/api/analyse",
             {{"points", pts}, {"reference", json::array({{5000001, 1.0}, {5050000, 1.0}, {5100000, 1.0}})}});
    EXPECT_EQ(shifted.status, 400);
    EXPECT_NE(shifted.body["error"].get<std::string>().find("does not fit"), std::string::npos);
    const Reply zero =
        post("/api/analyse",
             {{"points", pts}, {"reference", json::array({{5000000, 0.0}, {5050000, 1.0}, {5100000, 1.0}})}});
    EXPECT_EQ(zero.status, 400);
    EXPECT_NE(zero.body["error"].get<std::string>().find("not above 0"), std::string::npos);

    // Only the dB and readouts, as the page asks while the points come.
    const Reply live = post("/api/analyse", {{"points", pts}, {"summary", false}});
    ASSERT_EQ(live.status, 200) << live.body.dump();
    EXPECT_FALSE(live.body.contains("summary"));
    EXPECT_FALSE(live.body.contains("csv"));
    EXPECT_EQ(live.body["db"], full.body["db"]);
    EXPECT_EQ(live.body["texts"][2], "no level at 5.1 MHz");
}

TEST_F(ServeTest, ABenchJobsChoicesReadTheTraceAsThePagesOwnAnalysis)
{
    const json pts = json::array({{5000000, 1.5e9}, {5050000, 3e9}, {5100000, 6e9}});
    const Reply plain = post("/api/analyse", {{"points", pts}});
    const Reply a = post("/api/analyse",
                         {{"points", pts}, {"job", {{"offset", 10}, {"marks", {5050000, 5100000}}, {"average", 4}}}});
    ASSERT_EQ(a.status, 200) << a.body.dump();
    EXPECT_NEAR(a.body["db"][1].get<double>(), plain.body["db"][1].get<double>() + 10, 1e-9);
    const std::string summary = a.body["summary"]["text"];
    EXPECT_NE(summary.find("mean of 4 sweeps, in power\noffset +10.00 dB added to every dB\n"), std::string::npos)
        << summary;
    ASSERT_EQ(a.body["markers"].size(), 2u);
    EXPECT_EQ(a.body["markers"][1]["delta_hz"], 50000);
    EXPECT_NE(summary.find(a.body["markers"][1]["text"].get<std::string>() + "\n"), std::string::npos) << summary;
    EXPECT_EQ(a.body["overload"], json::array({0, 0, 0}));

    // Return loss against the trace itself: 0 dB, a refusal without a reference.
    const Reply rl = post("/api/analyse", {{"points", pts}, {"reference", pts}, {"job", {{"reflection", true}}}});
    ASSERT_EQ(rl.status, 200) << rl.body.dump();
    EXPECT_EQ(rl.body["yLabel"], "return loss (dB)");
    EXPECT_EQ(rl.body["texts"][0].get<std::string>().rfind("return loss 0.00 dB, SWR ", 0), 0u) << rl.body["texts"][0];
    for (const json &job : {json{{"reflection", true}}, json{{"offset", "ten"}}, json{{"average", 0.5}},
                            json{{"marks", "10M"}}, json("offset")}) {
        const Reply bad = post("/api/analyse", {{"points", pts}, {"job", job}});
        EXPECT_EQ(bad.status, 400) << job.dump();
        EXPECT_TRUE(bad.body["error"].is_string()) << job.dump();
    }
}

TEST_F(ServeTest, AReferenceCsvFromThePageIsReadAsTheCommandLineReadsIt)
{
    const Reply ok = post("/api/reference",
                          {{"name", "thru.csv"},
                           {"text",
                            "frequency_hz,level,db\n# a comment\n5000000,1.5e9,-13.9\n"
                            "5050000,,\n"}});
    ASSERT_EQ(ok.status, 200) << ok.body.dump();
    EXPECT_EQ(ok.body["points"], json::parse("[[5000000, 1.5e9], [5050000, null]]"));
    const std::pair<std::string, std::string> refused[] = {
        {"", "thru.csv is empty: not a sweep CSV"},
        {"f,l,d\n", "thru.csv is not a sweep CSV (its first line is not frequency_hz,level,db)"},
        {"frequency_hz,level,db\n5000000,0,\n", "thru.csv line 2: the level \"0\" is not above 0"},
        {"frequency_hz,level,db\n5000000;1\n", "thru.csv line 2: cannot read \"5000000;1\""},
    };
    for (const auto &[text, message] : refused) {
        const Reply r = post("/api/reference", {{"name", "thru.csv"}, {"text", text}});
        EXPECT_EQ(r.status, 400) << text;
        EXPECT_EQ(r.body["error"].get<std::string>().rfind(message, 0), 0u) << r.body.dump();
    }
    EXPECT_EQ(post("/api/reference", {{"name", "thru.csv"}}).status, 400);
}

TEST_F(ServeTest, StopEndsTheSweepAndTheDeviceTakesTheNextOne)
{
    const Reply r = post("/api/sweep", sweep_settings("50000"));
    ASSERT_EQ(r.status, 202) << r.body.dump();
    const auto deadline = Clock::now() + kPatience;
    while (points_so_far() < 10 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const Reply stop = post("/api/stop", json::object());
    EXPECT_EQ(stop.status, 200);
    EXPECT_EQ(stop.body["stopping"], true);
    const json s = wait_for([](const json &st) { return st["sweep"]["status"] != "running"; });
    EXPECT_EQ(s["sweep"]["status"], "stopped");
    const std::size_t n = points_so_far();
    EXPECT_GE(n, 10u);
    EXPECT_LT(n, 50000u);
    // The device is idle again and answers the next sweep in full.
    wait_for(device_idle);
    const Reply next = post("/api/sweep", sweep_settings("11"));
    ASSERT_EQ(next.status, 202) << next.body.dump();
    const json done = wait_for([](const json &st) { return st["sweep"]["status"] != "running"; });
    EXPECT_EQ(done["sweep"]["status"], "done");
    EXPECT_EQ(points_so_far(), 11u);
    EXPECT_EQ(post("/api/stop", json::object()).body["stopping"], false);
}

TEST_F(ServeTest, ASecondJobWhileOneRunsIsBusy)
{
    ASSERT_EQ(post("/api/sweep", sweep_settings("50000")).status, 202);
    const Reply second = post("/api/sweep", sweep_settings("10"));
    EXPECT_EQ(second.status, 409);
    EXPECT_NE(second.body["error"].get<std::string>().find("busy"), std::string::npos);
    EXPECT_EQ(post("/api/cal", json::object()).status, 409);
    EXPECT_EQ(post("/api/xtal", {{"hz", "25000123"}}).status, 409);
    // The running sweep is the first one, untouched.
    EXPECT_EQ(get("/api/sweep").body["plan"]["points"], 50000);
    post("/api/stop", json::object());
    wait_for([](const json &st) { return st["sweep"]["status"] != "running"; });
}

TEST_F(ServeTest, BadSettingsAreRefusedWithTheCommandLinesMessage)
{
    struct Case {
        json body;
        std::string field;
        std::vector<std::string> cli;
    };
    const std::vector<Case> cases{
        {{{"start", "5M"}, {"stop", "1M"}, {"points", "10"}},
         "stop",
         {"--start", "5M", "--stop", "1M", "--points", "10"}},
        {{{"start", "5M"}, {"stop", "16M"}, {"points", "ten"}},
         "points",
         {"--start", "5M", "--stop", "16M", "--points", "ten"}},
        {{{"start", "300M"}, {"stop", "310M"}, {"points", "10"}},
         "start",
         {"--start", "300M", "--stop", "310M", "--points", "10"}},
        {{{"start", "5M"}, {"stop", "16M"}, {"points", "0"}},
         "points",
         {"--start", "5M", "--stop", "16M", "--points", "0"}},
        {{{"start", "5 MHz please"}, {"stop", "16M"}, {"points", "10"}},
         "start",
         {"--start", "5 MHz please", "--stop", "16M", "--points", "10"}},
    };
    for (const Case &c : cases) {
        const Reply r = post("/api/sweep", c.body);
        EXPECT_EQ(r.status, 400) << c.body.dump();
        EXPECT_EQ(r.body["field"], c.field) << r.body.dump();
        std::vector<std::string> argv{built_program("snt"), "sweep"};
        argv.insert(argv.end(), c.cli.begin(), c.cli.end());
        const ProcessResult cli = run_process(argv, "", 60);
        EXPECT_EQ(cli.exit_code, 2);
        EXPECT_EQ(cli.err, "snt: " + r.body["error"].get<std::string>() + "\n") << c.body.dump();
        const Reply checked = post("/api/check", c.body);
        EXPECT_EQ(checked.status, 200);
        EXPECT_EQ(checked.body["ok"], false);
        EXPECT_EQ(checked.body["error"], r.body["error"]);
        EXPECT_EQ(checked.body["field"], r.body["field"]);
    }
    EXPECT_EQ(post("/api/check", sweep_settings("221")).body["ok"], true);
    EXPECT_EQ(post("/api/sweep", json::array({1, 2})).status, 400);
    EXPECT_EQ(post("/api/xtal", {{"hz", "1000"}}).status, 400);
    EXPECT_EQ(post("/api/xtal", {{"hz", "1000"}}).body["field"], "hz");
    auto not_json = client_.Post("/api/sweep", {{"X-SNT-Token", serve_.token()}}, "start=5M", "application/json");
    ASSERT_TRUE(not_json);
    EXPECT_EQ(not_json->status, 400);
    auto form =
        client_.Post("/api/sweep", {{"X-SNT-Token", serve_.token()}}, "start=5M", "application/x-www-form-urlencoded");
    ASSERT_TRUE(form);
    EXPECT_EQ(form->status, 415);
    // Nothing of this reached the device.
    EXPECT_EQ(get("/api/state").body["sweep"]["id"], 0);
}

TEST_F(ServeTest, ForeignHostAndOriginAreRefused)
{
    const std::string port = std::to_string(serve_.port());
    EXPECT_EQ(get("/api/state", {{"Host", "evil.example:" + port}}).status, 403);
    EXPECT_EQ(get("/", {{"Host", "evil.example:" + port}}).status, 403);
    EXPECT_EQ(get("/api/state", {{"Host", "127.0.0.1:1"}}).status, 403);
    EXPECT_EQ(get("/api/state", {{"Host", "localhost:" + port}}).status, 200);
    EXPECT_EQ(post("/api/sweep", sweep_settings("11"), true, {{"Host", "rebound.example:" + port}}).status, 403);
    EXPECT_EQ(post("/api/sweep", sweep_settings("11"), true, {{"Origin", "http://evil.example"}}).status, 403);
    EXPECT_EQ(post("/api/sweep", sweep_settings("11"), true, {{"Origin", "null"}}).status, 403);
    EXPECT_EQ(get("/api/state").body["sweep"]["id"], 0);
    // The page's own origin is welcome.
    EXPECT_EQ(post("/api/sweep", sweep_settings("11"), true, {{"Origin", "http://" + serve_.host()}}).status, 202);
    wait_for([](const json &st) { return st["sweep"]["status"] != "running"; });
}

// Every request under /api/, reads included, needs this run's token: a
// page of another site can then do nothing at all, not even hold a stream.
TEST_F(ServeTest, EveryApiRequestNeedsThisRunsToken)
{
    const std::string t = serve_.token();
    // Not this run's token: none, another, one character more or less, and
    // this one changed in each position in turn.
    std::vector<std::string> wrong{"", "0123456789abcdef0123456789abcdef", t + "0", t.substr(0, t.size() - 1)};
    for (std::size_t i = 0; i < t.size(); ++i) {
        std::string w = t;
        w[i] = w[i] == '0' ? '1' : '0';
        wrong.push_back(w);
    }
    const std::vector<std::string> reads{"/api/state", "/api/sweep", "/api/events", "/api/nothing"};
    const std::vector<std::string> posts{"/api/check", "/api/analyse", "/api/sweep",     "/api/stop",   "/api/cal",
                                         "/api/off",   "/api/xtal",    "/api/reference", "/api/nothing"};
    for (const std::string &w : wrong) {
        SCOPED_TRACE("token \"" + w + "\"");
        httplib::Headers headers;
        if (!w.empty()) headers.emplace("X-SNT-Token", w);
        for (const std::string &path : reads) {
            const Reply r = get(path, headers, false);
            EXPECT_EQ(r.status, 401) << path;
            EXPECT_TRUE(r.body["error"].is_string()) << path;
        }
        for (const std::string &path : posts) EXPECT_EQ(post(path, sweep_settings("11"), false, headers).status, 401);
        // In the address, only the event stream takes it.
        EXPECT_EQ(get("/api/events?token=" + w, {}, false).status, 401);
    }
    EXPECT_EQ(get("/api/state?token=" + t, {}, false).status, 401) << "only the event stream takes ?token=";
    RawConnection stream(serve_.port());
    stream.send("GET /api/events?token=" + t + " HTTP/1.1\r\nHost: " + serve_.host() + "\r\n\r\n");
    EXPECT_EQ(status_of(stream.receive(kPatience, 12)), 200);
    // Nothing of this reached the device.
    EXPECT_EQ(get("/api/state").body["sweep"]["id"], 0);
    EXPECT_EQ(get("/api/state").body["device"]["job"], "");
}

TEST_F(ServeTest, CalibrationAndCrystalThroughThePage)
{
    EXPECT_EQ(post("/api/cal", json::object()).status, 202);
    json s = wait_for(device_idle);
    EXPECT_NE(s["device"]["message"].get<std::string>().find("crystal"), std::string::npos);
    EXPECT_EQ(post("/api/xtal", {{"hz", "25000123"}}).status, 202);
    s = wait_for(device_idle);
    EXPECT_EQ(s["device"]["crystal"], 25000123);
    EXPECT_TRUE(s["device"]["connected"]);
}

// The event streams beyond the limit are refused with a message; a stream
// dropped by its client frees its place.
TEST_F(ServeTest, EventStreamsBeyondTheLimitAreRefusedWithAMessage)
{
    const std::string request =
        "GET /api/events HTTP/1.1\r\nHost: " + serve_.host() + "\r\nX-SNT-Token: " + serve_.token() + "\r\n\r\n";
    std::vector<std::unique_ptr<RawConnection>> streams;
    for (int i = 0; i < 6; ++i) {
        streams.push_back(std::make_unique<RawConnection>(serve_.port()));
        streams.back()->send(request);
        EXPECT_EQ(status_of(streams.back()->receive(kPatience, 12)), 200) << "stream " << i;
    }
    RawConnection seventh(serve_.port());
    seventh.send(request);
    std::string refusal = seventh.receive(kPatience, 12);
    refusal += seventh.receive(std::chrono::milliseconds(500));
    EXPECT_EQ(status_of(refusal), 503) << refusal;
    const json why = json::parse(body_of(refusal), nullptr, false);
    EXPECT_NE(why["error"].get<std::string>().find("at most 6"), std::string::npos) << refusal;
    // The rest of the server answers all the while.
    EXPECT_EQ(get("/api/state").status, 200);
    // A client that goes away is noticed at the stream's next write (within
    // a second or two); then the next stream opens.
    streams.pop_back();
    const auto deadline = Clock::now() + kPatience;
    int status = 0;
    while (status != 200 && Clock::now() < deadline) {
        RawConnection again(serve_.port());
        again.send(request);
        status = status_of(again.receive(kPatience, 12));
        if (status != 200) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(status, 200);
}

// What no client of ours sends is refused with a message (in JSON, as every
// refusal), and the connection closed.
TEST_F(ServeTest, OversizedAndUnframedRequestsAreRefusedWithAMessage)
{
    const std::string host = "Host: " + serve_.host() + "\r\nX-SNT-Token: " + serve_.token() + "\r\n";
    const std::string posting = "POST /api/analyse HTTP/1.1\r\n" + host + "Content-Type: application/json\r\n";
    struct Case {
        std::string request;
        int status;
        std::string says;
    };
    const std::vector<Case> cases{
        {"GET /api/state HTTP/1.1\r\n" + host + "X-Padding: " + std::string(17000, 'x') + "\r\n\r\n", 431, "16 KiB"},
        {"GET /api/state HTTP/1.1\r\n" + host + std::string(40, '\n') + std::string(20000, 'y'), 431, "16 KiB"},
        {posting + "Content-Length: 200000000\r\n\r\n", 413, "96 MiB"},
        {posting + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411, "Content-Length"},
        {posting + "Content-Encoding: gzip\r\nContent-Length: 2\r\n\r\n{}", 415, "uncompressed"},
        {posting + "Content-Length: 12x\r\n\r\n", 400, "Content-Length"},
        {posting + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}", 400, "Content-Length"},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 414, "too long"},
        {"GET / HTTP/1.1 and more\r\n" + host + "\r\n", 400, "HTTP"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request.substr(0, 60));
        RawConnection raw(serve_.port());
        raw.send(c.request);
        const std::string answer = raw.receive(kPatience);
        EXPECT_EQ(status_of(answer), c.status) << answer.substr(0, 300);
        const json body = json::parse(body_of(answer), nullptr, false);
        ASSERT_TRUE(body.is_object() && body["error"].is_string()) << answer.substr(0, 300);
        EXPECT_NE(body["error"].get<std::string>().find(c.says), std::string::npos) << body.dump();
    }
    // A body that is merely large is taken.
    json pts = json::array();
    for (int i = 0; i < 100000; ++i) pts.push_back({5000000 + i, 1e9});
    EXPECT_EQ(post("/api/analyse", {{"points", pts}}).status, 200);
}

// A hundred idle event streams and fifty clients that send a request line
// and then nothing: the server still answers at once, and a sweep started
// meanwhile runs to its end. (benchmarks/serve_bench measures the times.)
TEST_F(ServeTest, IdleStreamsAndSlowClientsLeaveTheServerAnswering)
{
    const std::string stream_request =
        "GET /api/events HTTP/1.1\r\nHost: " + serve_.host() + "\r\nX-SNT-Token: " + serve_.token() + "\r\n\r\n";
    std::vector<std::unique_ptr<RawConnection>> idle, slow;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<RawConnection>(serve_.port()));
        idle.back()->send(stream_request); // and never read
    }
    for (int i = 0; i < 50; ++i) {
        slow.push_back(std::make_unique<RawConnection>(serve_.port()));
        slow.back()->send("GET /api/state HTTP/1.1\r\n");
    }
    ASSERT_EQ(post("/api/sweep", sweep_settings("221")).status, 202);
    for (int i = 0; i < 20; ++i) {
        const auto t0 = Clock::now();
        EXPECT_EQ(get("/api/state").status, 200);
        EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5)) << "a generous bound; the figure is in the README";
    }
    const json done = wait_for([](const json &st) { return st["sweep"]["status"] != "running"; });
    EXPECT_EQ(done["sweep"]["status"], "done");
    EXPECT_EQ(points_so_far(), 221u);
    // Six of the streams were taken, the others refused.
    int taken = 0, refused = 0;
    for (auto &c : idle) {
        const int status = status_of(c->receive(kPatience, 12));
        taken += status == 200;
        refused += status == 503;
    }
    EXPECT_EQ(taken, 6);
    EXPECT_EQ(refused, 94);
}

// snt-sim on a pseudo-terminal linked at `path`, as a real tester on a
// serial port would be; ended with SIGTERM, after which the path is gone.
class BoardOnPty {
public:
    explicit BoardOnPty(const std::string &path) : path_(path)
    {
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            const std::string sim = built_program("snt-sim");
            execl(sim.c_str(), sim.c_str(), "--dut", "bandpass:10.7M:1M", "--pty", path.c_str(), nullptr);
            _exit(127);
        }
        const auto deadline = Clock::now() + kPatience;
        while (!std::filesystem::exists(path) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!std::filesystem::exists(path)) throw std::runtime_error("snt-sim made no port at " + path);
    }
    ~BoardOnPty() { end(); }
    BoardOnPty(const BoardOnPty &) = delete;
    BoardOnPty &operator=(const BoardOnPty &) = delete;

    void end()
    {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    std::string path_;
    pid_t pid_ = -1;
};

TEST(ServeDevice, ALostDeviceShowsAndTheServerKeepsRunning)
{
    const TempDir dir("snt_serve_test");
    const std::string port = dir / "tester";
    auto board = std::make_unique<BoardOnPty>(port);
    ServeProcess serve({"--port", port});
    httplib::Client c("127.0.0.1", serve.port());
    c.set_read_timeout(60);
    const auto state = [&] {
        auto r = c.Get("/api/state", {{"X-SNT-Token", serve.token()}});
        if (!r) throw std::runtime_error("snt serve does not answer");
        return json::parse(r->body);
    };
    const auto wait_until = [&](const std::function<bool(const json &)> &done) {
        const auto deadline = Clock::now() + kPatience;
        json s = state();
        while (!done(s) && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            s = state();
        }
        EXPECT_TRUE(done(s)) << s.dump();
        return s;
    };
    const auto sweep = [&] {
        return c
            .Post("/api/sweep", {{"X-SNT-Token", serve.token()}},
                  json{{"start", "5M"}, {"stop", "16M"}, {"points", "11"}}.dump(), "application/json")
            ->status;
    };
    EXPECT_EQ(state()["device"]["device"], port);
    EXPECT_TRUE(state()["device"]["connected"]);

    // The tester goes away: the page is told, the server goes on answering.
    board->end();
    const json lost = wait_until([](const json &s) { return s["device"]["connected"] == false; });
    EXPECT_FALSE(lost["device"]["error"].get<std::string>().empty());
    EXPECT_EQ(sweep(), 503);

    // It comes back on the same port and sweeps again.
    board = std::make_unique<BoardOnPty>(port);
    wait_until([](const json &s) { return s["device"]["connected"] == true; });
    EXPECT_EQ(sweep(), 202);
    const json done = wait_until([](const json &s) { return s["sweep"]["status"] != "running"; });
    EXPECT_EQ(done["sweep"]["status"], "done");
    EXPECT_EQ(serve.terminate(), 143);
    board.reset();
}

// SIGTERM, or a hang-up (the terminal or the ssh connection gone): the
// sweep stops at its next point, the server closes, the virtual board goes.
TEST(ServeSignals, EndsOnSigtermOrSighupWhileAPageWatches)
{
    for (const int sig : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        ServeProcess serve({"--noise", "0"});
        httplib::Client c("127.0.0.1", serve.port());
        c.set_read_timeout(60);
        const httplib::Headers token{{"X-SNT-Token", serve.token()}};
        auto started =
            c.Post("/api/sweep", token, R"({"start": "5M", "stop": "16M", "points": "50000"})", "application/json");
        ASSERT_TRUE(started && started->status == 202);
        std::thread watcher([&] { follow_sweep(serve.port(), serve.token(), 1); });
        const auto points = [&] { return json::parse(c.Get("/api/sweep", token)->body)["points"].size(); };
        while (points() < 5) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto t0 = Clock::now();
        EXPECT_EQ(serve.terminate(sig), 128 + sig);
        EXPECT_LT(Clock::now() - t0, std::chrono::seconds(20));
        watcher.join();
        EXPECT_FALSE(c.Get("/api/state", token)) << "the server is closed";
    }
}

// Listening on every address, snt serve answers to any address of this
// machine in the Host header, and still to no name: a name could be
// pointed at us by someone else's DNS.
TEST(ServeListen, OnEveryAddressNamesAreStillRefused)
{
    ServeProcess serve({"--noise", "0"}, "0.0.0.0:0");
    httplib::Client c("127.0.0.1", serve.port());
    c.set_read_timeout(60);
    const std::string port = ":" + std::to_string(serve.port());
    const auto status = [&](const std::string &host) {
        auto r = c.Get("/api/state", {{"Host", host}, {"X-SNT-Token", serve.token()}});
        return r ? r->status : -1;
    };
    for (const char *name : {"evil.example", "rebound.example", "127.0.0.1.evil.example", "localhost.", "10.0.0",
                             "1.2.3.4.5", "300.1.2.3", "127.0.0.1x", "", "[::1]"}) {
        EXPECT_EQ(status(name + port), 403) << name;
    }
    EXPECT_EQ(status("127.0.0.1"), 403) << "the port must be named too";
    EXPECT_EQ(status("127.0.0.1:1"), 403);
    for (const char *address : {"127.0.0.1", "10.0.0.7", "192.168.1.5", "0.0.0.0"})
        EXPECT_EQ(status(address + port), 200) << address;
}

TEST(ServeOptions, ListenAddressesAreChecked)
{
    for (const char *bad : {"127.0.0.1:99999", "example.com:80", "1.2.3:80", "127.0.0.1:http"}) {
        const ProcessResult r = run_process({built_program("snt"), "serve", "--listen", bad}, "", 30);
        EXPECT_EQ(r.exit_code, 2) << bad;
        EXPECT_NE(r.err.find("--listen"), std::string::npos) << r.err;
    }
}

} // namespace
} // namespace snt_test
