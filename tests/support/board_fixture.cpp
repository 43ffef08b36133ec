#include "board_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <stdexcept>

namespace snt_test {

PinTrace::PinTrace(sim::Board &board, sim::Gpio &port, int pin)
{
    changes_.emplace_back(board.now(), port.level(pin));
    port.on_change(
        [this, &board, pin](int p, sim::Level l) {
            if (p == pin) changes_.emplace_back(board.now(), l);
        },
        1u << pin);
}

int PinTrace::rising_edges(Cycles from) const
{
    int n = 0;
    for (std::size_t i = 1; i < changes_.size(); ++i) {
        if (changes_[i].first >= from && changes_[i].second == sim::Level::High &&
            changes_[i - 1].second != sim::Level::High) {
            ++n;
        }
    }
    return n;
}

SerialCapture::SerialCapture(sim::Board &board)
{
    board.usart().set_tx_sink([this, &board](std::uint8_t b) {
        text_.push_back(static_cast<char>(b));
        times_.push_back(board.now());
    });
}

void BoardTest::boot() { ASSERT_TRUE(board.run_until_idle(ms(200))) << "start-up did not reach the main loop"; }

void BoardTest::send(const std::string &bytes)
{
    board.usart().host_send(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}

void BoardTest::send_and_settle(const std::string &bytes, Cycles limit)
{
    send(bytes);
    // Let the bytes arrive, then wait for the firmware to be idle again.
    const Cycles arrival = board.usart().host_send_done_at();
    board.run_until([&] { return board.now() >= arrival; }, limit);
    ASSERT_TRUE(board.run_until_idle(limit)) << "the firmware did not return to its main loop";
}

std::string built_program(const std::string &name)
{
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) throw std::runtime_error("cannot find the test program's folder");
    std::string dir(exe, static_cast<std::size_t>(n));
    dir.erase(dir.rfind('/'));
    return dir + "/" + name;
}

void exec_program(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

ProcessResult run_process(const std::vector<std::string> &argv, const std::string &input, double timeout_s)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        exec_program(argv);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);

    ProcessResult r;
    std::size_t written = 0;
    int in_fd = in[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    bool out_open = true, err_open = true, killed = false;
    while (out_open || err_open) {
        pollfd fds[3] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}, {in_fd, POLLOUT, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        poll(fds, 3, static_cast<int>(left.count()));
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP)) {
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    (i == 0 ? out_open : err_open) = false;
                } else {
                    (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
                }
            }
        }
        if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR))) {
            const ssize_t n = write(in_fd, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n <= 0 || written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!killed && WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    return r;
}

} // namespace snt_test
