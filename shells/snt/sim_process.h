// The virtual board: snt-sim on a pseudo-terminal in a private temporary
// folder, for as long as this object lives.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace snt {

// snt-sim could not be started, or stopped by itself; `exit_code` is its
// own (2 for options it refused), or 1.
class SimError : public std::runtime_error {
public:
    SimError(const std::string &what, int exit_code) : std::runtime_error(what), exit_code_(exit_code) {}
    int exit_code() const { return exit_code_; }

private:
    int exit_code_;
};

// What a child process writes into a pipe, read on a thread of its own so
// the child never blocks on a full pipe. The first kKept bytes are kept,
// the rest is read and dropped.
class PipeCollector {
public:
    static constexpr std::size_t kKept = 4096;

    // Takes over the reading end `fd`.
    explicit PipeCollector(int fd);
    ~PipeCollector();
    PipeCollector(const PipeCollector &) = delete;
    PipeCollector &operator=(const PipeCollector &) = delete;

    // What was kept, once the pipe has ended (every writer gone) or `wait`
    // has passed.
    std::string text(std::chrono::milliseconds wait);

private:
    void run();

    int fd_;
    std::mutex mutex_;
    std::condition_variable ended_cv_;
    std::string kept_;
    bool ended_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class SimProcess {
public:
    // How long snt-sim may take to make its port, and to stop when asked.
    static constexpr std::chrono::seconds kStartTimeout{10};
    static constexpr std::chrono::milliseconds kStopGrace{2000};

    // Starts `program --pty <tmp>/port <options...>` in a process group of
    // its own and waits for the port to appear. Throws SimError with
    // snt-sim's own message when it exits early.
    SimProcess(const std::string &program, const std::vector<std::string> &options);
    // SIGTERM to its group, SIGKILL after kStopGrace, and always waitpid.
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    const std::string &port() const { return link_; }
    pid_t pid() const { return pid_; }

    // After its port failed: when snt-sim has ended by itself (within
    // `wait`), what it said on its standard error (its "snt-sim: ..." line)
    // and its status, to report instead of the port's failure.
    std::optional<SimError> failure(std::chrono::milliseconds wait);

    // snt-sim next to the running program, or $SNT_SIM.
    static std::string default_program();

private:
    // Reaps the process if it ends within `wait`; true when it has.
    bool reap(std::chrono::milliseconds wait);
    SimError error_from_status(const std::string &otherwise);
    void stop() noexcept;

    std::string program_;
    std::string dir_, link_;
    pid_t pid_ = -1;   // until reaped
    pid_t group_ = -1; // its process group, for whatever it started
    int status_ = 0;   // once reaped
    std::optional<PipeCollector> stderr_;
};

} // namespace snt
