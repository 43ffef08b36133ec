// `snt serve` as a child process, for the suites that talk to it over HTTP.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "board_fixture.h"

namespace snt_test {

// snt serve, started with its options and `--listen` address, its address
// and token read from what it prints, stopped with SIGTERM (and SIGKILL if
// it does not go) when the test ends, or by the kernel if the test dies.
class ServeProcess {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kPatience = std::chrono::seconds(60);

    explicit ServeProcess(std::vector<std::string> options, const std::string &listen = "127.0.0.1:0",
                          const std::vector<std::string> &environment = {})
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        std::vector<std::string> argv{"/usr/bin/env"};
        argv.insert(argv.end(), environment.begin(), environment.end());
        argv.push_back(built_program("snt"));
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {"serve", "--listen", listen});
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], 1);
            exec_program(argv);
        }
        close(out[1]);
        fd_ = out[0];
        read_address();
    }
    ~ServeProcess()
    {
        if (fd_ >= 0) close(fd_);
        if (pid_ > 0) stop(SIGTERM, std::chrono::seconds(20));
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
    }
    ServeProcess(const ServeProcess &) = delete;
    ServeProcess &operator=(const ServeProcess &) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &token() const { return token_; }
    const std::string &printed() const { return printed_; }
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

    // Ends it with `signal` and returns its exit status (-1: it did not end).
    int terminate(int signal = SIGTERM) { return stop(signal, kPatience); }

private:
    int stop(int signal, std::chrono::seconds patience)
    {
        kill(pid_, signal);
        const auto deadline = Clock::now() + patience;
        while (Clock::now() < deadline) {
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

    void read_address()
    {
        const auto deadline = Clock::now() + kPatience;
        const std::string key = "http://127.0.0.1:";
        while (printed_.find('\n', printed_.find(key) == std::string::npos ? printed_.size() : printed_.find(key)) ==
               std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) throw std::runtime_error("snt serve printed no address: " + printed_);
            pollfd p{fd_, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left));
            char buf[512];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n == 0) throw std::runtime_error("snt serve ended: " + printed_);
            if (n > 0) printed_.append(buf, static_cast<std::size_t>(n));
        }
        const auto at = printed_.find(key) + key.size();
        port_ = std::stoi(printed_.substr(at));
        const auto t = printed_.find("token=", at);
        if (t == std::string::npos) throw std::runtime_error("no token in " + printed_);
        token_ = printed_.substr(t + 6, printed_.find('\n', t) - t - 6);
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = 0;
    int port_ = 0;
    std::string token_, printed_;
};

// A TCP connection to 127.0.0.1:port, for what a well-behaved client
// would not send, or not send whole.
class RawConnection {
public:
    explicit RawConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    ~RawConnection() { ::close(fd_); }
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    bool send(const std::string &bytes) const
    {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // What comes within `wait`, or until the server closes the connection
    // (then closed() is true) or `enough` bytes have come.
    std::string receive(std::chrono::milliseconds wait, std::size_t enough = std::size_t(-1))
    {
        std::string got;
        const auto deadline = ServeProcess::Clock::now() + wait;
        while (got.size() < enough && !closed_) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ServeProcess::Clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) closed_ = true;
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    bool closed() const { return closed_; }

private:
    int fd_;
    bool closed_ = false;
};

// The status of an answer as received ("HTTP/1.1 503 ..."), 0 if none.
inline int status_of(const std::string &answer)
{
    return answer.compare(0, 5, "HTTP/") == 0 && answer.size() > 12 ? std::atoi(answer.c_str() + 9) : 0;
}

// Its body, when the answer is whole.
inline std::string body_of(const std::string &answer)
{
    const auto blank = answer.find("\r\n\r\n");
    return blank == std::string::npos ? "" : answer.substr(blank + 4);
}

} // namespace snt_test
