#include "shells/sim/serial_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace sim {

namespace {

// Input is read this much at a time; output is written this much at a time
// (a pipe that reports room takes a block of this size without blocking).
constexpr std::size_t kBlock = 4096;
// Output larger than this with nobody reading it is dropped, as bytes sent
// to a port that no program has open are lost.
constexpr std::size_t kMaxPendingOutput = 1 << 16;
// How often, in virtual time, the pseudo-terminal is looked at while the
// firmware is busy, and how long the board sleeps when it is idle.
constexpr Cycles kPtyPollCycles = kCoreHz / 1000;
constexpr int kIdleSleepMs = 20;
// The pseudo-terminal is read only while fewer bytes than this are still on
// their way to the receiver; the rest waits in the terminal's own buffer,
// which holds the writer back.
constexpr Cycles kPtyMaxQueuedBytes = 256;

std::runtime_error sys_error(const std::string &what, int err = errno)
{
    return std::runtime_error(what + ": " + std::strerror(err));
}

std::uint32_t baud_of(speed_t speed)
{
    static constexpr std::pair<speed_t, std::uint32_t> kRates[] = {
        {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
        {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
        {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
        {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
        {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
    };
    for (const auto &[s, baud] : kRates) {
        if (s == speed) return baud;
    }
    return 0;
}

// The baud rate the program on the far side set the terminal to, as a real
// port would put it on the wire. Linux keeps no character format for a
// pseudo-terminal (it forces 8 bits without parity whatever is asked), so
// the format is taken to be the one the board's receiver expects.
std::optional<Usart::HostLine> host_line_of(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return std::nullopt;
    Usart::HostLine line;
    line.baud = baud_of(cfgetospeed(&tio));
    if (line.baud == 0) return std::nullopt; // B0: the line is hung up, or a rate we cannot name
    line.format_known = false;
    return line;
}

} // namespace

// ------------------------------------------------------------------ StdioHost

StdioHost::StdioHost(Mode mode, int in_fd, int out_fd, StopSignals &stop)
    : mode_(mode), in_fd_(in_fd), out_fd_(out_fd), stop_(stop)
{}

StdioHost::~StdioHost()
{
    try {
        flush();
    } catch (const std::runtime_error &) {
        // the failure was reported where it happened, or the run ends anyway
    }
}

void StdioHost::attach(Board &board)
{
    board_ = &board;
    board.usart().set_tx_sink([this](std::uint8_t b) {
        output_.push_back(static_cast<char>(b));
        if (output_.size() >= kBlock) flush();
    });
    board.set_idle_hook([this] { on_idle(); });
    if (mode_ == Mode::Stream) {
        board.usart().set_on_receiver_ready([this] {
            if (!feeding_) feed();
        });
    }
}

void StdioHost::flush()
{
    if (output_failed_) return;
    std::size_t done = 0;
    while (done < output_.size()) {
        if (stop_.wait(out_fd_, POLLOUT) == StopSignals::Wait::Stopped) break; // nobody waits for it any more
        const std::size_t chunk = std::min(output_.size() - done, kBlock);
        const ssize_t w = ::write(out_fd_, output_.data() + done, chunk);
        if (w < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (w <= 0) {
            output_failed_ = true;
            output_.clear();
            throw sys_error("standard output: cannot write", w < 0 ? errno : EIO);
        }
        done += static_cast<std::size_t>(w);
    }
    output_.clear();
}

bool StdioHost::read_more()
{
    flush(); // whoever writes our input may be waiting for the answer
    const StopSignals::Wait w = stop_.wait(in_fd_, POLLIN, wait_limit_ms_);
    if (w != StopSignals::Wait::Ready) {
        board_->request_pause(); // a stop signal, or the run loop's turn
        return false;
    }
    char buf[kBlock];
    ssize_t n;
    do {
        n = ::read(in_fd_, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno == EAGAIN) return true; // nothing there after all: wait again
    if (n < 0) throw sys_error("standard input: cannot read");
    if (n == 0) {
        eof_ = true;
    } else {
        input_.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

void StdioHost::take(std::string &line, std::size_t n)
{
    line.assign(input_, 0, n);
    input_.erase(0, n);
    scanned_ = scanned_ > n ? scanned_ - n : 0;
}

bool StdioHost::next_line(std::string &line)
{
    for (;;) {
        const std::size_t cr = input_.find('\r', scanned_);
        if (cr != std::string::npos) {
            take(line, cr + 1);
            scanned_ = 0;
            return true;
        }
        scanned_ = input_.size();
        if (input_.size() >= kMaxLine) {
            take(line, kMaxLine); // a piece of an endless line
            return true;
        }
        if (eof_) {
            take(line, input_.size()); // a last line without its carriage return
            return !line.empty();
        }
        if (!read_more()) return false;
    }
}

void StdioHost::feed()
{
    Usart &usart = board_->usart();
    Scheduler &sched = board_->scheduler();
    feeding_ = false;
    if (input_.empty() && !eof_ && !read_more()) {
        if (stop_.received() != 0) return;
        // Nothing came within the wait's limit: look again a byte later.
        feeding_ = true;
        sched.schedule_in(usart.byte_cycles(), [this] { feed(); });
        return;
    }
    if (!input_.empty()) {
        usart.host_send(reinterpret_cast<const std::uint8_t *>(input_.data()), input_.size());
        input_.clear();
    }
    if (eof_) return;
    // The next block is read while the last byte of this one is still on
    // the line, so the bytes follow each other as if all had been there at
    // once.
    const Cycles frame = usart.byte_cycles();
    const Cycles end = usart.host_send_done_at();
    const Cycles at = end > sched.now() + frame ? end - frame : sched.now() + frame;
    feeding_ = true;
    sched.schedule_at(at, [this] { feed(); });
}

void StdioHost::on_idle()
{
    Usart &usart = board_->usart();
    if (usart.host_sending() || stop_.received() != 0) return;
    if (mode_ == Mode::Careful) {
        std::string line;
        if (next_line(line)) {
            usart.host_send(reinterpret_cast<const std::uint8_t *>(line.data()), line.size());
            return;
        }
    }
    if (eof_ && input_.empty() && !feeding_ && board_->firmware_idle()) {
        flush();
        finished_ = true;
        board_->request_pause();
    }
}

// -------------------------------------------------------------------- PtyHost

PtyHost::PtyHost(std::string link_path, StopSignals &stop) : link_(std::move(link_path)), stop_(stop)
{
    if (link_.empty()) throw PortLinkError("an empty path");
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw sys_error("cannot open a pseudo-terminal");
    const char *slave_name = ptsname(master_);
    if (slave_name == nullptr) throw sys_error("cannot name the pseudo-terminal");
    slave_name_ = slave_name;
    // Holding the far side open ourselves keeps the port usable while no
    // program has it open, and between programs.
    slave_ = ::open(slave_name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) throw sys_error("cannot open " + slave_name_);
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    // symlink() makes the link new or fails: whatever is at the path stays.
    if (symlink(slave_name_.c_str(), link_.c_str()) != 0) {
        const int err = errno;
        throw PortLinkError(link_ + ": " + std::strerror(err) +
                            (err == EEXIST ? " (the link is made new; nothing is replaced)" : ""));
    }
    linked_ = true;
}

PtyHost::~PtyHost()
{
    if (linked_) {
        // Only our own link goes: not whatever may have taken its place.
        char target[PATH_MAX];
        const ssize_t n = ::readlink(link_.c_str(), target, sizeof target);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slave_name_) ::unlink(link_.c_str());
    }
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
        if (!finished()) schedule_poll();
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
    Usart &usart = board_->usart();
    const bool room = usart.host_send_done_at() <= board_->now() + kPtyMaxQueuedBytes * usart.byte_cycles();
    switch (stop_.wait(master_, room ? POLLIN : 0, room ? timeout_ms : 0)) {
    case StopSignals::Wait::Stopped:
        board_->request_pause();
        return;
    case StopSignals::Wait::Timeout:
        return;
    case StopSignals::Wait::Ready:
        break;
    }
    if (!room) return;
    // The far side sets its line before it writes: look at it first.
    if (const auto line = host_line_of(slave_); line != usart.host_line()) usart.set_host_line(line);
    std::uint8_t buf[256];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0) board_->usart().host_send(buf, static_cast<std::size_t>(n));
}

} // namespace sim
