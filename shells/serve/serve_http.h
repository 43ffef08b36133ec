// The HTTP side of `snt serve`: the embedded page, a JSON API and a stream
// of server-sent events, in front of one DeviceController.
//
// Who may do what: every request must name this server in its Host header
// (a page from elsewhere that re-points a name at 127.0.0.1 is refused); a
// POST must carry JSON and, if the browser says where it comes from, come
// from this server's own page; a request that makes the device do anything
// must carry this run's token in the X-SNT-Token header.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "shells/serve/serve.h"

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace snt {

class DeviceController;

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

class WebServer {
public:
    // Binds at once (throws std::runtime_error when no port can be had).
    WebServer(DeviceController &controller, const ListenAddress &listen, std::string token, std::string device_name);
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    int port() const { return port_; }
    // The page's address with the token in it.
    std::string url() const;
    // Serves until stop().
    void run();
    void stop();

private:
    void routes();
    void guard_routes();
    void asset_routes();
    void state_routes();
    void command_routes();
    bool command_allowed(const httplib::Request &req, httplib::Response &res) const;

    DeviceController &controller_;
    ListenAddress listen_;
    int port_ = 0;
    std::string device_name_;
    std::unique_ptr<AccessPolicy> policy_;
    std::unique_ptr<httplib::Server> server_;
    std::atomic<bool> stopping_{false};
};

} // namespace snt
