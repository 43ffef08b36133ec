// The signals that end snt-sim (SIGINT, SIGTERM, and SIGHUP when its
// terminal or ssh connection goes away), taken as data instead
// of by asynchronous handlers: they are blocked in every thread and read
// from a signal descriptor, so each wait of the program watches for them
// next to its own descriptor and no signal can slip in between a check and
// a wait.
#pragma once

#include <signal.h>

namespace sim {

class StopSignals {
public:
    enum class Wait { Ready, Timeout, Stopped };

    // Blocks SIGINT, SIGTERM and SIGHUP in the calling thread, and so in every thread
    // it starts afterwards: construct it before the board starts the
    // firmware's thread. Throws std::runtime_error.
    StopSignals();
    // Restores the signal mask.
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // The first stop signal received, or 0; looks for one without waiting.
    int check();
    // The first stop signal seen so far, without looking for a new one.
    int received() const { return received_; }

    // Waits up to `timeout_ms` (-1: for ever) until `fd` reports one of
    // `events` (poll(2) bits) or a stop signal comes. Once a stop signal has
    // been seen nothing waits any more: `fd` is only looked at.
    Wait wait(int fd, short events, int timeout_ms = -1);

    // The exit status of a program ended by `signal`: 128 + its number.
    static int exit_status(int signal) { return 128 + signal; }

private:
    void drain();

    int fd_ = -1;
    int received_ = 0;
    sigset_t old_mask_{};
};

} // namespace sim
