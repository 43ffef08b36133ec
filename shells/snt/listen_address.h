// Where `snt serve` listens, as the command line gives it: shared by the
// command line (shells/snt/options.cpp) and the server (shells/serve).
#pragma once

#include <string>

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

} // namespace snt
