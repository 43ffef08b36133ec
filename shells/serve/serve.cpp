#include "shells/serve/serve.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/analysis/frequency.h"
#include "shells/serve/serve_controller.h"
#include "shells/serve/serve_http.h"
#include "shells/snt/interrupt.h"
#include "shells/snt/output.h"

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

} // namespace

void serve(const ServeConfig &config)
{
    std::string device_name = config.port.empty()
        ? "virtual board (" + (config.dut.empty() ? std::string("thru") : config.dut) + ")"
        : config.port;
    // Signals are the main thread's: none of the threads started here takes them.
    std::optional<StopSignalsBlocked> blocked(std::in_place);
    DeviceController controller(DeviceAddress{config.port, config.sim_args});
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
