// `snt serve`: the tester behind a small web server on this machine, and a
// page that sweeps live in the browser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace snt {

// Where the server listens: --listen HOST:PORT, HOST an IPv4 address or
// "localhost". Without --listen: 127.0.0.1, port 8080 or the next free one.
struct ListenAddress {
    std::string host = "127.0.0.1";
    int port = 8080;         // 0: any free port
    bool port_given = false; // false: try the next ports when it is taken

    // Throws InputError for anything but HOST:PORT, PORT or :PORT.
    static ListenAddress parse(const std::string &text);
    bool loopback() const;
};

// "127.0.0.1", "192.168.1.5": four decimal parts of 0 to 255.
bool is_ipv4_address(const std::string &text);

struct ServeConfig {
    ListenAddress listen;
    std::string port;                  // the tester's serial port; empty: the virtual board
    std::vector<std::string> sim_args; // for snt-sim
    std::string dut;                   // as given, for the page
};

// Connects to the tester, listens, prints the page's address (with this
// run's token) and serves until SIGINT, SIGTERM or SIGHUP (Interrupted). Throws as
// the other commands do when the device or the address cannot be used.
void serve(const ServeConfig &config);

} // namespace snt
