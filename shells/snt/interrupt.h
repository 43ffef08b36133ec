// Ctrl-C, SIGTERM and SIGHUP (the terminal or the ssh connection went
// away): the handler only raises a flag; every wait of ours looks at it at
// least every few tens of milliseconds and throws Interrupted, so the stack
// unwinds and every destructor (the virtual board's process among them)
// runs before we exit.
#pragma once

#include <signal.h>

#include <stdexcept>

namespace snt {

class Interrupted : public std::runtime_error {
public:
    explicit Interrupted(int signal_number);
    int signal_number() const { return signal_; }

private:
    int signal_;
};

// Installs the handlers for SIGINT, SIGTERM and SIGHUP (without
// SA_RESTART, so a blocking call returns early) and ignores SIGPIPE. Call
// once at start.
void install_interrupt_handlers();

// Blocks those three signals in the calling thread while it lives, so the
// threads it starts meanwhile never take them: the main thread's waits are
// the ones to cut short.
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked &) = delete;
    StopSignalsBlocked &operator=(const StopSignalsBlocked &) = delete;

private:
    sigset_t old_;
};

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
