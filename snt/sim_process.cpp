#include "sim_process.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "interrupt.h"

namespace snt {

namespace {

std::string temp_root()
{
    const char *t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

std::string first_line(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    const auto nl = s.find('\n');
    if (nl != std::string::npos) s.erase(nl);
    return s;
}

} // namespace

std::string SimProcess::default_program()
{
    if (const char *env = std::getenv("SNT_SIM"); env && *env) return env;
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "snt-sim";
    std::string dir(exe, static_cast<std::size_t>(n));
    return dir.substr(0, dir.rfind('/') + 1) + "snt-sim";
}

SimProcess::SimProcess(const std::string &program, const std::vector<std::string> &options)
{
    if (::access(program.c_str(), X_OK) != 0)
        throw SimError("cannot run the virtual device " + program + ": " + std::strerror(errno) +
                           " (set SNT_SIM, or give --port for a real device)",
                       1);
    std::string pattern = temp_root() + "/snt-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw SimError("cannot make a temporary folder in " + temp_root() + ": " + std::strerror(errno), 1);
    dir_ = pattern;
    link_ = dir_ + "/port";

    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::rmdir(dir_.c_str());
        throw SimError(std::string("cannot make a pipe: ") + std::strerror(errno), 1);
    }
    std::vector<std::string> argv{program, "--pty", link_};
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<char *> args;
    for (auto &a : argv) args.push_back(a.data());
    args.push_back(nullptr);

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Its own process group: Ctrl-C at the terminal reaches only us,
        // and we stop it in order.
        ::setpgid(0, 0);
        // Should we die without running our destructors (a crash, SIGKILL),
        // it goes too.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
        }
        ::dup2(err[1], 2);
        ::execv(args[0], args.data());
        const char msg[] = "cannot execute the virtual device\n";
        [[maybe_unused]] const auto w = ::write(2, msg, sizeof msg - 1);
        ::_exit(127);
    }
    ::close(err[1]);
    err_fd_ = err[0];
    if (pid_ < 0) {
        ::close(err_fd_);
        ::rmdir(dir_.c_str());
        throw SimError(std::string("cannot start the virtual device: ") + std::strerror(errno), 1);
    }

    try {
        const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
        for (;;) {
            check_interrupt();
            struct stat st {};
            if (::lstat(link_.c_str(), &st) == 0) break;
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                std::string msg = first_line(drain_stderr());
                const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
                if (msg.empty()) msg = "the virtual device (" + program + ") stopped at start-up";
                throw SimError(msg, code == 2 ? 2 : 1);
            }
            if (std::chrono::steady_clock::now() > deadline)
                throw SimError("the virtual device did not open its port within " +
                                   std::to_string(kStartTimeout.count()) + " s",
                               1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } catch (...) {
        stop();
        throw;
    }
}

SimProcess::~SimProcess() { stop(); }

std::string SimProcess::drain_stderr() noexcept
{
    std::string text;
    if (err_fd_ < 0) return text;
    ::fcntl(err_fd_, F_SETFL, ::fcntl(err_fd_, F_GETFL) | O_NONBLOCK);
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(err_fd_, buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

void SimProcess::stop() noexcept
{
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
        int status = 0;
        bool gone = false;
        while (!gone && std::chrono::steady_clock::now() < deadline) {
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_ || (r < 0 && errno != EINTR)) {
                gone = true;
                break;
            }
            // Keep its stderr from filling up while it shuts down.
            drain_stderr();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!gone) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        pid_ = -1;
    }
    if (err_fd_ >= 0) {
        ::close(err_fd_);
        err_fd_ = -1;
    }
    if (!link_.empty()) ::unlink(link_.c_str());  // snt-sim removes it itself unless it was killed
    if (!dir_.empty()) ::rmdir(dir_.c_str());
    dir_.clear();
    link_.clear();
}

} // namespace snt
