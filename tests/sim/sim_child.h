// What the suites that run snt-sim as a careless or hostile user would
// share: snt-sim as a child process the test talks to and signals, a
// folder of its own for each test, and the checks of a refusal and of an
// exit status.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "board_fixture.h"
#include "child_processes.h"
#include "files.h"
#include "protocol.h"
#include "pseudo_terminal.h"
#include "shells/sim/serial_host.h"
#include "shells/sim/stop_signals.h"
#include "temp_dir.h"

namespace snt_test::hostile {

namespace fs = std::filesystem;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

inline const std::string kBanner = "25000000\r" ID_TEXT "\r";
inline const std::string kEndlessSweep = "r 1 2147483647\r";

inline std::string link_target(const std::string &path)
{
    std::error_code ec;
    return fs::read_symlink(path, ec).string();
}

inline unsigned mode_of(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A refusal at start: status 2, one line on standard error that starts
// with the program's name and says `says`, and nothing on the serial port.
inline void expect_refused(const ProcessResult &r, const std::string &says, const std::string &context)
{
    EXPECT_EQ(r.exit_code, 2) << context << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << context << ": " << r.err;
    EXPECT_EQ(r.err.rfind("snt-sim: ", 0), 0u) << context << ": " << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << context << ": " << r.err;
    EXPECT_EQ(r.out, "") << context;
}

// A folder of its own for each test.
class Scratch : public ::testing::Test {
protected:
    TempDir folder{"snt_sim_hostile"};
    std::string dir = folder.path();

    std::string at(const std::string &name) const { return folder / name; }
    std::vector<std::string> names() const { return folder.entries(); }
};

// snt-sim as a child process the test talks to and signals. Standard input
// is a pipe the test holds open; standard output is a pipe the test reads
// (or `out_fd`); standard error is collected.
class Child {
public:
    explicit Child(const std::vector<std::string> &args, int out_fd = -1)
    {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
            throw std::runtime_error("pipe");
        std::vector<std::string> argv{built_program("snt-sim")};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out_fd >= 0 ? out_fd : out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char *> a;
            a.reserve(argv.size() + 1);
            for (auto &s : argv) a.push_back(s.data());
            a.push_back(nullptr);
            ::execv(a[0], a.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
        ::fcntl(out_, F_SETFL, O_NONBLOCK);
        ::fcntl(err_, F_SETFL, O_NONBLOCK);
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {in_, out_, err_}) {
            if (fd >= 0) ::close(fd);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    int output_fd() const { return out_; }
    const std::string &out() const { return out_text_; }
    const std::string &err() const { return err_text_; }

    void send(const std::string &bytes) const
    {
        ASSERT_EQ(::write(in_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void close_input()
    {
        ::close(in_);
        in_ = -1;
    }

    // Reads standard output until it holds more than `bytes` bytes; false
    // when that takes longer than `limit`.
    bool read_beyond(std::size_t bytes, seconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (out_text_.size() <= bytes && Clock::now() < deadline) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) drain(out_, out_text_);
        }
        return out_text_.size() > bytes;
    }

    // Waits for the child to end; its wait status, or -1 (and the child is
    // killed) when it is still running after `limit`. Standard output is
    // read meanwhile unless `read_output` is false.
    int wait(seconds limit, bool read_output = true)
    {
        const auto deadline = Clock::now() + limit;
        int status = 0;
        for (;;) {
            drain(err_, err_text_);
            if (read_output) drain(out_, out_text_);
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) break;
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
                pid_ = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        drain(err_, err_text_);
        drain(out_, out_text_);
        return status;
    }

private:
    static void drain(int fd, std::string &text)
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return;
            text.append(buf, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string out_text_, err_text_;
};

// The status a program has when it exits with `code` by itself.
inline ::testing::AssertionResult exited_with(int status, int code)
{
    if (status == -1) return ::testing::AssertionFailure() << "still running: killed";
    if (WIFSIGNALED(status)) return ::testing::AssertionFailure() << "killed by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) != code) return ::testing::AssertionFailure() << "exit status " << WEXITSTATUS(status);
    return ::testing::AssertionSuccess();
}

// Generous: only proves that the program does not hang.
constexpr seconds kPrompt{20};

} // namespace snt_test::hostile
