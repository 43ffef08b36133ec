// Ctrl-C and SIGTERM: the handler only raises a flag; every wait of ours
// looks at it at least every few tens of milliseconds and throws
// Interrupted, so the stack unwinds and every destructor (the virtual
// board's process among them) runs before we exit.
#pragma once

#include <stdexcept>

namespace snt {

class Interrupted : public std::runtime_error {
public:
    explicit Interrupted(int signal_number);
    int signal_number() const { return signal_; }

private:
    int signal_;
};

// Installs the handlers for SIGINT and SIGTERM (without SA_RESTART, so a
// blocking call returns early) and ignores SIGPIPE. Call once at start.
void install_interrupt_handlers();

// Throws Interrupted when a signal has arrived.
void check_interrupt();

// While the points of an interrupted sweep are saved: takes the signal
// that has arrived, so check_interrupt() is quiet until another one comes
// (a second Ctrl-C still ends the save), and puts it back at the end.
class InterruptSetAside {
public:
    InterruptSetAside();
    ~InterruptSetAside();
    InterruptSetAside(const InterruptSetAside &) = delete;
    InterruptSetAside &operator=(const InterruptSetAside &) = delete;

private:
    int signal_;
};

// Longest single sleep of a wait, so a signal is noticed promptly.
constexpr int kInterruptPollMs = 50;

} // namespace snt
