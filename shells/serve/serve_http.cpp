#include "shells/serve/serve_http.h"

#include <stdexcept>
#include <utility>

namespace snt {

namespace {

// Ports tried after the default one when it is taken.
constexpr int kPortsToTry = 20;

} // namespace

WebServer::WebServer(Tester &tester, const ListenAddress &listen, std::string token, std::string device_name,
                     ServeLimits limits)
    : listen_(listen)
{
    // The router binds before the policy knows the port: it is made with
    // the address as asked, then again with the port it got.
    router_ = std::make_unique<Router>(tester, AccessPolicy(listen, token), std::move(device_name), limits.router);
    if (listen.port == 0) {
        port_ = router_->bind(listen.host, 0);
        if (port_ <= 0) throw std::runtime_error("cannot listen on " + listen.host + ": no free port");
    } else {
        const int tries = listen.port_given ? 1 : kPortsToTry;
        for (int i = 0; i < tries && port_ == 0; ++i) {
            if (listen.port + i <= 65535) port_ = router_->bind(listen.host, listen.port + i);
        }
        if (port_ == 0)
            throw std::runtime_error("cannot listen on " + listen.host + ":" + std::to_string(listen.port) +
                                     (tries > 1 ? " or the " + std::to_string(tries - 1) + " ports after it" : "") +
                                     ": in use or not an address of this machine");
    }
    ListenAddress bound = listen;
    bound.port = port_;
    router_->set_policy(AccessPolicy(bound, std::move(token)));
    router_->advertise_keep_alive(limits.connections.idle, limits.connections.requests_per_connection);
    connections_ = std::make_unique<Connections>(*router_, limits.connections);
}

WebServer::~WebServer() { stop(); }

std::string WebServer::url() const
{
    const std::string host = listen_.host == "0.0.0.0" ? "127.0.0.1" : listen_.host;
    return "http://" + host + ":" + std::to_string(port_) + "/?token=" + router_->policy().token();
}

void WebServer::run()
{
    router_->listen([this](int fd) { connections_->take(fd); });
}

void WebServer::stop()
{
    router_->stop();
    connections_->stop();
}

} // namespace snt
