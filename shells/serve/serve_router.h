// The requests of `snt serve`, answered without a socket of its own: the
// embedded page, a JSON API and a stream of server-sent events in front of
// one Tester. cpp-httplib parses each request (one that frame_request has
// found whole) from a Stream and writes the answer to it; WebServer gives
// it connections, the fuzz target bytes.
//
// Who may do what: every request must name this server in its Host header
// (a page from elsewhere that re-points a name at 127.0.0.1 is refused);
// every request under /api/ must carry this run's token, in the
// X-SNT-Token header (or, for the event stream, which a browser's
// EventSource opens without headers of its own, as ?token=); a POST must
// carry JSON and, if the browser says where it comes from, come from this
// server's own page. Only a handful of event streams are open at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "shells/serve/serve.h"
#include "shells/serve/serve_framing.h"

namespace httplib {
class Stream;
} // namespace httplib

namespace snt {

class Tester;

// Which Host and Origin headers this server answers to, and its token.
class AccessPolicy {
public:
    AccessPolicy(const ListenAddress &bound, std::string token);

    bool host_allowed(const std::string &host) const;
    bool origin_allowed(const std::string &origin) const;
    bool token_matches(const std::string &token) const; // in constant time
    const std::string &token() const { return token_; }

private:
    std::string host_;
    int port_;
    std::string token_;
};

// A fresh token of 128 random bits, in hex.
std::string new_token();

struct RouterLimits {
    // Event streams open at once; one more is answered 503. Each holds a
    // thread of the server while it is open.
    std::size_t event_streams = 6;
    // A stream says ": still here" after this long without news; a client
    // that has gone is found at that write.
    std::chrono::milliseconds event_wait{1000};
    RequestLimits request;
};

class Router {
public:
    Router(Tester &tester, AccessPolicy policy, std::string device_name, RouterLimits limits = {});
    ~Router();
    Router(const Router &) = delete;
    Router &operator=(const Router &) = delete;

    const AccessPolicy &policy() const { return policy_; }
    // Before listen(): once bind() has said which port this is.
    void set_policy(AccessPolicy policy) { policy_ = std::move(policy); }
    // What answers say of the connection's life (Keep-Alive: timeout, max).
    void advertise_keep_alive(std::chrono::milliseconds idle, std::size_t requests);
    const RouterLimits &limits() const { return limits_; }

    // Answers the one request `stream` holds (as frame_request gave it) and
    // writes the answer; `last` asks the client to close the connection
    // after it. True when the connection may carry another request.
    bool answer(httplib::Stream &stream, bool last);

    // The listening socket is cpp-httplib's too, and an answer that streams
    // runs only while it is open. bind() returns the port (port 0: any free
    // one), or 0 when the address cannot be had; listen() hands every
    // connection it accepts to `take` until stop().
    int bind(const std::string &host, int port);
    void listen(const std::function<void(int)> &take);
    // Closes the listening socket, ends every event stream at its next
    // wake-up and wakes them (Tester::close).
    void stop();
    bool stopping() const { return stopping_; }

    // Event streams open now.
    std::size_t event_streams() const;

private:
    class Engine;

    void guard_routes();
    void asset_routes();
    void state_routes();
    void command_routes();

    Tester &tester_;
    AccessPolicy policy_;
    std::string device_name_;
    RouterLimits limits_;
    std::shared_ptr<std::atomic<std::size_t>> streams_; // open now, shared with each stream's slot
    std::atomic<bool> stopping_{false};
    std::atomic<bool> listening_{false};
    std::unique_ptr<Engine> engine_;
};

} // namespace snt
