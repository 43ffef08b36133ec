#include "shells/snt/sim_process.h"

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

#include "core/text/text.h"
#include "shells/snt/interrupt.h"

namespace snt {

namespace {

std::string temp_root()
{
    const char *t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

// snt-sim's message in what it wrote: its "snt-sim: ..." line, or else the
// first line with anything on it; one line, printable, not too long.
std::string message_in(const std::string &text)
{
    std::string first;
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.rfind("snt-sim:", 0) == 0) {
            first = line;
            break;
        }
        if (first.empty()) first = line;
    }
    constexpr std::size_t kLongest = 300;
    if (first.size() > kLongest) first = first.substr(0, kLongest) + "...";
    return printable(first);
}

} // namespace

PipeCollector::PipeCollector(int fd) : fd_(fd)
{
    // Signals are for the main thread: its waits are the ones to cut short.
    const StopSignalsBlocked blocked;
    thread_ = std::thread([this] { run(); });
}

PipeCollector::~PipeCollector()
{
    stop_ = true;
    thread_.join();
    ::close(fd_);
}

void PipeCollector::run()
{
    char buf[4096];
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, kInterruptPollMs) <= 0) continue;
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        const std::lock_guard<std::mutex> lock(mutex_);
        if (n <= 0) {
            ended_ = true;
            ended_cv_.notify_all();
            return;
        }
        kept_.append(buf, std::min(static_cast<std::size_t>(n), kKept - std::min(kKept, kept_.size())));
    }
}

std::string PipeCollector::text(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    ended_cv_.wait_for(lock, wait, [this] { return ended_; });
    return kept_;
}

std::string SimProcess::default_program()
{
    if (const char *env = std::getenv("SNT_SIM"); env && *env) return env;
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "snt-sim";
    std::string dir(exe, static_cast<std::size_t>(n));
    return dir.substr(0, dir.rfind('/') + 1) + "snt-sim";
}

SimProcess::SimProcess(const std::string &program, const std::vector<std::string> &options) : program_(program)
{
    if (::access(program.c_str(), X_OK) != 0)
        throw SimError("cannot run the virtual device " + printable(program) + ": " + std::strerror(errno) +
                           " (set SNT_SIM, or give --port for a real device)",
                       1);
    std::string pattern = temp_root() + "/snt-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw SimError("cannot make a temporary folder in " + printable(temp_root()) + ": " + std::strerror(errno), 1);
    dir_ = pattern;
    link_ = dir_ + "/port";

    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) {
        const int e = errno;
        ::rmdir(dir_.c_str());
        throw SimError(std::string("cannot make a pipe: ") + std::strerror(e), 1);
    }
    std::vector<std::string> argv{program, "--pty", link_};
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (auto &a : argv) args.push_back(a.data());
    args.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Its own process group: Ctrl-C at the terminal reaches only us,
        // and we stop it (and anything it starts) in order.
        ::setpgid(0, 0);
        // Should we die without running our destructors (a crash, SIGKILL),
        // it goes too.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        // Our handlers do not survive exec, but ignored signals would.
        ::signal(SIGPIPE, SIG_DFL);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
        }
        ::dup2(err[1], 2);
        ::execv(args[0], args.data());
        const char msg[] = "snt-sim: cannot execute the virtual device\n";
        [[maybe_unused]] const auto w = ::write(2, msg, sizeof msg - 1);
        ::_exit(127);
    }
    const int fork_errno = errno;
    ::close(err[1]);
    if (pid < 0) {
        ::close(err[0]);
        ::rmdir(dir_.c_str());
        throw SimError(std::string("cannot start the virtual device: ") + std::strerror(fork_errno), 1);
    }
    pid_ = pid;
    group_ = pid;
    ::setpgid(pid, pid); // as the child does, so the group exists whichever runs first
    stderr_.emplace(err[0]);

    try {
        const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
        for (;;) {
            check_interrupt();
            struct stat st {};
            if (::lstat(link_.c_str(), &st) == 0) break;
            if (reap(std::chrono::milliseconds(0)))
                throw error_from_status("the virtual device (" + printable(program) + ") stopped at start-up");
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

bool SimProcess::reap(std::chrono::milliseconds wait)
{
    if (pid_ <= 0) return true;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = status;
            pid_ = -1;
            return true;
        }
        if (r < 0 && errno != EINTR) {
            pid_ = -1; // not ours any more; nothing to wait for
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

SimError SimProcess::error_from_status(const std::string &otherwise)
{
    std::string msg = message_in(stderr_ ? stderr_->text(std::chrono::milliseconds(500)) : "");
    const int code = WIFEXITED(status_) ? WEXITSTATUS(status_) : 1;
    if (msg.empty()) {
        msg = otherwise;
        if (WIFEXITED(status_)) {
            msg += " with status " + std::to_string(code);
        } else if (WIFSIGNALED(status_)) {
            const int sig = WTERMSIG(status_);
            msg += ", killed by signal " + std::to_string(sig) + " (" + printable(strsignal(sig)) + ")";
        }
    }
    return SimError(msg, code == 2 ? 2 : 1);
}

std::optional<SimError> SimProcess::failure(std::chrono::milliseconds wait)
{
    if (pid_ <= 0 && group_ <= 0) return std::nullopt; // stopped by us
    if (!reap(wait)) return std::nullopt;              // still running: the port's failure stands
    return error_from_status("the virtual device (" + printable(program_) + ") stopped");
}

void SimProcess::stop() noexcept
{
    if (group_ > 0) {
        ::kill(-group_, SIGTERM);
        if (pid_ > 0 && !reap(kStopGrace)) {
            ::kill(-group_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {}
            pid_ = -1;
        }
        // Whatever it started and left behind.
        ::kill(-group_, SIGKILL);
        group_ = -1;
    }
    stderr_.reset();
    if (!link_.empty()) ::unlink(link_.c_str()); // snt-sim removes it itself unless it was killed
    if (!dir_.empty()) ::rmdir(dir_.c_str());
    dir_.clear();
    link_.clear();
}

} // namespace snt
