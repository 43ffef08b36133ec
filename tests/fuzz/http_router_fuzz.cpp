// The HTTP side of `snt serve`: the bytes a client sends on one connection,
// cut into requests by frame_request and answered by the Router (through
// cpp-httplib's parser, as the server runs it) in front of a fake tester.
// Every answer must be whole HTTP/1.1 with one of the statuses the README
// lists; every refusal carries a JSON {"error": ...}; every JSON answer
// parses; an event stream sends only events whose data is JSON.
//
// The first byte of an input sets the scene: whether the tester is
// connected, and whether a sweep has started, measured some or all of its
// points, or been stopped. The rest is what the connection sends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "core/analysis/sweep.h"
#include "fake_controller.h"
#include "shells/serve/serve_framing.h"
#include "shells/serve/serve_router.h"
#include "shells/serve/web_assets.h"

namespace snt {

// The page's files are not what this target tries: two small ones stand in.
const std::vector<Asset> &web_assets()
{
    static const unsigned char page[] = "<!DOCTYPE html><title>snt</title>";
    static const unsigned char script[] = "'use strict';";
    static const std::vector<Asset> assets{{"/index.html", "text/html", page, sizeof page - 1},
                                           {"/js/app.js", "text/javascript", script, sizeof script - 1}};
    return assets;
}

} // namespace snt

namespace {

using json = nlohmann::json;

const std::string kToken = "0123456789abcdef0123456789abcdef";

[[noreturn]] void fail(const std::string &why, const std::string &request, const std::string &answer)
{
    std::fprintf(stderr, "%s\n--- request ---\n%s\n--- answer ---\n%s\n", why.c_str(), request.c_str(), answer.c_str());
    std::abort();
}

// One request's bytes in, the answer out; a client that takes a few writes
// of a stream and then goes away.
class MemoryStream : public httplib::Stream {
public:
    explicit MemoryStream(std::string request) : in_(std::move(request)) {}

    bool is_readable() const override { return pos_ < in_.size(); }
    bool is_writable() const override { return writes_ < kWrites; }
    ssize_t read(char *ptr, size_t size) override
    {
        const std::size_t n = std::min(size, in_.size() - pos_);
        std::memcpy(ptr, in_.data() + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char *ptr, size_t size) override
    {
        if (++writes_ > kWrites) return -1;
        out.append(ptr, size);
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        ip = "127.0.0.1";
        port = 40000;
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        ip = "127.0.0.1";
        port = 8080;
    }
    socket_t socket() const override { return 3; }

    std::string out;

private:
    static constexpr int kWrites = 8;
    std::string in_;
    std::size_t pos_ = 0;
    int writes_ = 0;
};

// The statuses the README lists for snt serve (408 needs time to pass).
const std::set<int> kStatuses{200, 202, 400, 401, 403, 404, 405, 409, 411, 413, 414, 415, 431, 503};

// The body of a chunked answer, as far as it got.
std::string unchunk(const std::string &body, const std::string &request, const std::string &answer)
{
    std::string out;
    std::size_t at = 0;
    while (at < body.size()) {
        const auto eol = body.find("\r\n", at);
        if (eol == std::string::npos) fail("a chunk size without its line end", request, answer);
        const std::size_t n = std::strtoul(body.substr(at, eol - at).c_str(), nullptr, 16);
        if (n == 0) break;
        if (eol + 2 + n + 2 > body.size()) fail("a chunk cut short", request, answer);
        out += body.substr(eol + 2, n);
        at = eol + 2 + n + 2;
    }
    return out;
}

// Server-sent events: every block a comment or an event we send, with JSON.
void check_events(const std::string &text, const std::string &request, const std::string &answer)
{
    std::size_t at = 0;
    for (auto end = text.find("\n\n"); end != std::string::npos; end = text.find("\n\n", at)) {
        const std::string block = text.substr(at, end - at);
        at = end + 2;
        if (block.rfind(':', 0) == 0) continue;
        const auto nl = block.find('\n');
        const std::string name = block.substr(0, nl);
        if (nl == std::string::npos || block.compare(nl + 1, 6, "data: ") != 0 ||
            (name != "event: state" && name != "event: sweep" && name != "event: points" && name != "event: end"))
            fail("not one of our events: " + block, request, answer);
        if (!json::accept(block.substr(nl + 7))) fail("an event whose data is not JSON", request, answer);
    }
}

void check_answer(const std::string &request, const std::string &answer)
{
    if (answer.compare(0, 9, "HTTP/1.1 ") != 0 || answer.size() < 12) fail("no status line", request, answer);
    const int status = std::atoi(answer.c_str() + 9);
    if (kStatuses.count(status) == 0) fail("status " + std::to_string(status) + " is not one we list", request, answer);
    const auto blank = answer.find("\r\n\r\n");
    if (blank == std::string::npos) fail("the header does not end", request, answer);
    const std::string head = answer.substr(0, blank + 2), body = answer.substr(blank + 4);
    const auto header = [&](const std::string &name) {
        const auto at = head.find("\r\n" + name + ": ");
        return at == std::string::npos
            ? std::string()
            : head.substr(at + name.size() + 4, head.find("\r\n", at + 2) - at - name.size() - 4);
    };
    // (What the parser takes for the method, blanks before it skipped: a HEAD
    // is answered without its body, even when the rest of its request line is
    // refused.)
    const auto method = std::min(request.find_first_not_of(" \t"), request.size());
    const bool head_only =
        request.compare(method, 4, "HEAD") == 0 && request.find_first_of(" \t\r\n", method) == method + 4;
    if (header("Transfer-Encoding") == "chunked") {
        if (status != 200 || header("Content-Type") != "text/event-stream")
            fail("a chunked answer that is not an event stream", request, answer);
        if (!head_only) check_events(unchunk(body, request, answer), request, answer);
        return;
    }
    if (head_only) return;
    if (header("Content-Length") != std::to_string(body.size()))
        fail("the Content-Length is not the body's", request, answer);
    const bool is_json = header("Content-Type").rfind("application/json", 0) == 0;
    if (status >= 400) {
        const json j = json::parse(body, nullptr, false);
        if (!is_json || !j.is_object() || !j.contains("error") || !j["error"].is_string() ||
            j["error"].get<std::string>().empty())
            fail("a refusal without a JSON error", request, answer);
    } else if (is_json && !json::accept(body)) {
        fail("a JSON answer that does not parse", request, answer);
    }
}

// The scene the first byte of an input sets.
void set_scene(snt_test::FakeController &tester, std::uint8_t scene)
{
    tester.reset((scene & 1) != 0);
    if ((scene & 2) == 0) return;
    const snt::SweepPlan plan = (scene & 16) ? snt::SweepPlan::make_log(20000, 200000000, 40)
                                             : snt::SweepPlan::make(5000000, 16000000, 23, std::nullopt);
    tester.reset(true);
    tester.start_sweep(plan);
    switch ((scene >> 2) & 3) {
    case 1:
        tester.measure(plan.points / 2);
        break;
    case 2:
        tester.measure(plan.points);
        break;
    case 3:
        tester.measure(3);
        tester.stop();
        break;
    default:
        break;
    }
}

struct Setup {
    snt_test::FakeController tester;
    snt::Router router;

    Setup() : router(tester, snt::AccessPolicy(snt::ListenAddress{"127.0.0.1", 8080, true}, kToken), "fuzz", limits())
    {
        // cpp-httplib streams an answer only while it has a listening
        // socket: the router has one that nothing connects to.
        if (router.bind("127.0.0.1", 0) == 0) {
            std::fputs("cannot bind a socket on 127.0.0.1\n", stderr);
            std::abort();
        }
    }
    static snt::RouterLimits limits()
    {
        snt::RouterLimits l;
        l.event_wait = std::chrono::milliseconds(0);
        l.request.body = 1 << 16;
        return l;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static Setup setup;
    if (size == 0) return 0;
    set_scene(setup.tester, data[0]);
    std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
    // Requests one after another, as long as the connection lasts.
    for (int n = 0; n < 8; ++n) {
        const snt::Framing f = snt::frame_request(bytes, setup.router.limits().request);
        if (f.verdict == snt::Framing::Verdict::Incomplete) break;
        if (f.verdict == snt::Framing::Verdict::Refused) {
            check_answer(bytes, snt::refusal_response(f.status, f.message));
            break;
        }
        MemoryStream stream(f.request);
        const bool again = setup.router.answer(stream, false);
        check_answer(f.request, stream.out);
        if (setup.router.event_streams() != 0) fail("a stream's place is still taken", f.request, stream.out);
        if (!again) break;
        bytes.erase(0, f.length);
    }
    return 0;
}
