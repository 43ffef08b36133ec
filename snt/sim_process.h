// The virtual board: snt-sim on a pseudo-terminal in a private temporary
// folder, for as long as this object lives.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace snt {

// snt-sim could not be started or stopped at once; `exit_code` is its own
// (2 for options it refused), or 1.
class SimError : public std::runtime_error {
public:
    SimError(const std::string &what, int exit_code) : std::runtime_error(what), exit_code_(exit_code) {}
    int exit_code() const { return exit_code_; }

private:
    int exit_code_;
};

class SimProcess {
public:
    // How long snt-sim may take to make its port, and to stop when asked.
    static constexpr std::chrono::seconds kStartTimeout{10};
    static constexpr std::chrono::milliseconds kStopGrace{2000};

    // Starts `program --pty <tmp>/port <options...>` and waits for the port
    // to appear. Throws SimError with snt-sim's own message when it exits
    // early.
    SimProcess(const std::string &program, const std::vector<std::string> &options);
    // SIGTERM, SIGKILL after kStopGrace, and always waitpid.
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    const std::string &port() const { return link_; }
    pid_t pid() const { return pid_; }

    // snt-sim next to the running program, or $SNT_SIM.
    static std::string default_program();

private:
    void stop() noexcept;
    std::string drain_stderr() noexcept;

    std::string dir_, link_;
    pid_t pid_ = -1;
    int err_fd_ = -1;
};

} // namespace snt
