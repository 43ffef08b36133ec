#include "serve.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "frequency.h"
#include "interrupt.h"
#include "output.h"
#include "serve_controller.h"
#include "serve_http.h"

namespace snt {

namespace {

// The server's thread, stopped and joined on every way out.
class ServerThread {
public:
    explicit ServerThread(WebServer &server) : server_(server), thread_([this] { server_.run(); }) {}
    ~ServerThread()
    {
        server_.stop();
        thread_.join();
    }
    ServerThread(const ServerThread &) = delete;
    ServerThread &operator=(const ServerThread &) = delete;

private:
    WebServer &server_;
    std::thread thread_;
};

int port_number(const std::string &text, const std::string &whole)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(text) > 65535)
        throw InputError("--listen " + whole + ": the port must be a number from 0 to 65535");
    return std::stoi(text);
}

} // namespace

ListenAddress ListenAddress::parse(const std::string &text)
{
    ListenAddress a;
    const auto colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (colon == std::string::npos && port.find_first_not_of("0123456789") != std::string::npos) {
        host = text; // a host alone
        a.port_given = false;
    } else {
        a.port = port_number(port, text);
        a.port_given = true;
    }
    if (host == "localhost") host = "127.0.0.1";
    if (!host.empty()) {
        if (!is_ipv4_address(host))
            throw InputError("--listen " + text + ": give HOST:PORT with HOST an IPv4 address or localhost");
        a.host = host;
    }
    return a;
}

bool is_ipv4_address(const std::string &text)
{
    int parts = 0;
    std::size_t i = 0;
    for (;;) {
        std::size_t j = i;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
        if (j == i || j - i > 3 || std::stoi(text.substr(i, j - i)) > 255) return false;
        ++parts;
        if (j == text.size()) return parts == 4;
        if (text[j] != '.' || parts == 4) return false;
        i = j + 1;
    }
}

bool ListenAddress::loopback() const { return host.compare(0, 4, "127.") == 0; }

void serve(const ServeConfig &config)
{
    std::string device_name = config.port.empty()
        ? "virtual board (" + (config.dut.empty() ? std::string("thru") : config.dut) + ")"
        : config.port;
    // Signals are the main thread's: none of the threads started here takes them.
    std::optional<StopSignalsBlocked> blocked(std::in_place);
    DeviceController controller(DeviceAddress{config.port, config.sim_args, ""});
    WebServer server(controller, config.listen, new_token(), device_name);
    ServerThread thread(server);
    blocked.reset();

    if (!config.listen.loopback())
        std::fprintf(stderr,
                     "snt: warning: listening on %s, not only on this machine's loopback address: anyone who can "
                     "reach it and has the address below can use the tester\n",
                     config.listen.host.c_str());
    print("snt serve: " + device_name + "\nopen " + server.url() + "\n(Ctrl-C to stop)\n");
    for (;;) {
        check_interrupt();
        std::this_thread::sleep_for(std::chrono::milliseconds(kInterruptPollMs));
    }
}

} // namespace snt
