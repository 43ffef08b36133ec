// snt-sim's GDB connection: a TCP listener for one debugger at a time,
// carrying the bytes between the socket and the GDB stub (board/debug), and
// running the core's halts and resumes between the board's slices. No
// thread: the run loop calls service() between two slices, and while the
// core is held it waits in poll() on the connection.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "board/debug/chip_debug_target.h"
#include "board/debug/gdb_stub.h"

namespace sim {

class StopSignals;

// A bad --gdb value or a listener that cannot be made.
class GdbAddressError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// [HOST:]PORT, HOST an IPv4 address or localhost (the default: 127.0.0.1).
struct GdbAddress {
    std::string host = "127.0.0.1";
    int port = 0;
    // Throws GdbAddressError.
    static GdbAddress parse(const std::string &text);
    bool loopback() const { return host.compare(0, 4, "127.") == 0; }
};

class GdbServer {
public:
    // Listens at `address` (port 0: any free one). Throws GdbAddressError.
    GdbServer(const GdbAddress &address, Board &board, ChipCpu &cpu, StopSignals &stop);
    ~GdbServer();
    GdbServer(const GdbServer &) = delete;
    GdbServer &operator=(const GdbServer &) = delete;

    int port() const { return port_; }
    // Holds the core at reset until a debugger attaches.
    void hold_until_attached();
    // Between two slices: takes a new debugger (halting the core), passes
    // its bytes to the stub and the stub's to it, tells it of the core's
    // stops. While the core is held it waits for the debugger up to
    // `wait_ms`.
    void service(int wait_ms);
    // The core is held (by a debugger, or waiting for one): the board must
    // not run.
    bool holding() const;
    // The debugger killed the run.
    bool killed() const { return target_.killed(); }
    // The run is over: a debugger that let the target run hears that it
    // exited, and the connection closes.
    void finish(int exit_code);

private:
    void accept_debugger();
    void read_debugger();
    void write_debugger();
    void close_debugger();

    ChipCpu &cpu_;
    StopSignals &stop_;
    ChipDebugTarget target_;
    std::unique_ptr<GdbStub> stub_;
    int listen_fd_ = -1;
    int conn_fd_ = -1;
    int port_ = 0;
    bool waiting_for_debugger_ = false;
};

} // namespace sim
