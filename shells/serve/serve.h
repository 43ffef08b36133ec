// `snt serve`: the tester behind a small web server on this machine, and a
// page that sweeps live in the browser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shells/snt/listen_address.h"

namespace snt {

struct ServeConfig {
    ListenAddress listen;
    std::string port;                  // the tester's serial port; empty: the virtual board
    std::vector<std::string> sim_args; // the virtual board's options, as snt-sim takes them
    std::string dut;                   // as given, for the page
};

// Connects to the tester, listens, prints the page's address (with this
// run's token) and serves until SIGINT, SIGTERM or SIGHUP (Interrupted). Throws as
// the other commands do when the device or the address cannot be used.
void serve(const ServeConfig &config);

} // namespace snt
