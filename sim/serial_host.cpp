#include "serial_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

// Output larger than this with nobody reading it is dropped, as bytes sent
// to a port that no program has open are lost.
constexpr std::size_t kMaxPendingOutput = 1 << 16;
// How often, in virtual time, the pseudo-terminal is looked at while the
// firmware is busy, and how long the board sleeps when it is idle.
constexpr Cycles kPtyPollCycles = kCoreHz / 1000;
constexpr int kIdleSleepMs = 20;

void write_all(int fd, const char *data, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return; // reader gone: the bytes are lost on the line
        data += w;
        n -= static_cast<std::size_t>(w);
    }
}

std::runtime_error sys_error(const std::string &what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

} // namespace

// ------------------------------------------------------------------ StdioHost

StdioHost::StdioHost(Mode mode, int in_fd, int out_fd) : mode_(mode), in_fd_(in_fd), out_fd_(out_fd)
{
    if (mode_ == Mode::Stream) {
        // A host that never waits has everything ready to send at once.
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(in_fd_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            input_.append(buf, static_cast<std::size_t>(n));
        }
        eof_ = true;
    }
}

StdioHost::~StdioHost() { flush(); }

void StdioHost::attach(Board &board)
{
    board_ = &board;
    board.usart().set_tx_sink([this](std::uint8_t b) {
        output_.push_back(static_cast<char>(b));
        if (output_.size() >= 4096) flush();
    });
    board.set_idle_hook([this] { on_idle(); });
    if (mode_ == Mode::Stream) {
        board.usart().set_on_receiver_ready([this] {
            board_->usart().host_send(reinterpret_cast<const std::uint8_t *>(input_.data()), input_.size());
            input_.clear();
        });
    }
}

void StdioHost::flush()
{
    write_all(out_fd_, output_.data(), output_.size());
    output_.clear();
}

bool StdioHost::next_line(std::string &line)
{
    for (;;) {
        const std::size_t cr = input_.find('\r');
        if (cr != std::string::npos) {
            line = input_.substr(0, cr + 1);
            input_.erase(0, cr + 1);
            return true;
        }
        if (eof_) {
            line.swap(input_); // a last line without its carriage return
            input_.clear();
            return !line.empty();
        }
        flush(); // whoever writes our input may be waiting for the answer
        char buf[4096];
        const ssize_t n = ::read(in_fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof_ = true;
        } else {
            input_.append(buf, static_cast<std::size_t>(n));
        }
    }
}

void StdioHost::on_idle()
{
    Usart &usart = board_->usart();
    if (usart.host_sending()) return;
    if (mode_ == Mode::Careful) {
        std::string line;
        if (next_line(line)) {
            usart.host_send(reinterpret_cast<const std::uint8_t *>(line.data()), line.size());
            return;
        }
    }
    if (eof_ && input_.empty() && board_->firmware_idle()) {
        flush();
        finished_ = true;
        board_->request_pause();
    }
}

// -------------------------------------------------------------------- PtyHost

PtyHost::PtyHost(std::string link_path) : link_(std::move(link_path))
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw sys_error("cannot open a pseudo-terminal");
    const char *slave_name = ptsname(master_);
    if (slave_name == nullptr) throw sys_error("cannot name the pseudo-terminal");
    // Holding the far side open ourselves keeps the port usable while no
    // program has it open, and between programs.
    slave_ = ::open(slave_name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw sys_error(std::string("cannot open ") + slave_name);
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    struct stat st {};
    if (lstat(link_.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) throw std::runtime_error(link_ + " exists and is not a link; not replacing it");
        ::unlink(link_.c_str());
    }
    if (symlink(slave_name, link_.c_str()) != 0) throw sys_error("cannot create " + link_);

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signal_fd_ < 0) throw sys_error("signalfd");
}

PtyHost::~PtyHost()
{
    ::unlink(link_.c_str());
    if (signal_fd_ >= 0) ::close(signal_fd_);
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
}

void PtyHost::attach(Board &board)
{
    board_ = &board;
    board.usart().set_tx_sink([this](std::uint8_t b) {
        if (output_.size() < kMaxPendingOutput) output_.push_back(b);
    });
    board.set_idle_hook([this] {
        flush();
        if (!board_->usart().host_sending() && board_->firmware_idle()) poll_port(kIdleSleepMs);
    });
    schedule_poll();
}

void PtyHost::schedule_poll()
{
    board_->scheduler().schedule_in(kPtyPollCycles, [this] {
        poll_port(0);
        flush();
        if (!finished_) schedule_poll();
    });
}

void PtyHost::flush()
{
    while (!output_.empty()) {
        const ssize_t w = ::write(master_, output_.data(), output_.size());
        if (w <= 0) return; // the port's buffer is full: try again later
        output_.erase(output_.begin(), output_.begin() + w);
    }
}

void PtyHost::poll_port(int timeout_ms)
{
    pollfd fds[2] = {{master_, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
    if (::poll(fds, 2, timeout_ms) <= 0) return;
    if (fds[1].revents & POLLIN) {
        finished_ = true;
        board_->request_pause();
        return;
    }
    if (fds[0].revents & POLLIN) {
        std::uint8_t buf[256];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) board_->usart().host_send(buf, static_cast<std::size_t>(n));
    }
}

} // namespace sim
