// The HTTP server of `snt serve`: a listening socket, the Connections that
// read every request whole before a worker answers it, and the Router with
// the page and the API (and the checks of who may use them).
#pragma once

#include <memory>
#include <string>

#include "shells/serve/serve.h"
#include "shells/serve/serve_connections.h"
#include "shells/serve/serve_router.h"

namespace snt {

class Tester;

struct ServeLimits {
    RouterLimits router;
    ConnectionLimits connections;
};

class WebServer {
public:
    // Binds at once (throws std::runtime_error when no port can be had).
    WebServer(Tester &tester, const ListenAddress &listen, std::string token, std::string device_name,
              ServeLimits limits = {});
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    int port() const { return port_; }
    // The page's address with the token in it.
    std::string url() const;
    // Serves until stop().
    void run();
    void stop();

    const Router &router() const { return *router_; }
    const Connections &connections() const { return *connections_; }

private:
    ListenAddress listen_;
    int port_ = 0;
    std::unique_ptr<Router> router_;
    std::unique_ptr<Connections> connections_;
};

} // namespace snt
