#include "shells/snt/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/text/text.h"
#include "shells/snt/interrupt.h"

namespace snt {

namespace {
std::string reason() { return std::strerror(errno); }
} // namespace

SerialPort::SerialPort(const std::string &path) : path_(printable(path))
{
    // Non-blocking open: a port whose modem lines are down must not hang us.
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        if (errno == ENOENT) throw PortError("serial port " + path_ + " does not exist");
        if (errno == EBUSY) throw PortError("serial port " + path_ + " is in use by another program");
        throw PortError("cannot open serial port " + path_ + ": " + reason());
    }
    // Both kinds of lock: flock keeps out other programs that use it (and
    // root), TIOCEXCL keeps out any later open by a normal user.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd_);
        if (e == EWOULDBLOCK) throw PortError("serial port " + path_ + " is in use by another program");
        errno = e;
        throw PortError("cannot lock serial port " + path_ + ": " + reason());
    }
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) {
        ::close(fd_);
        throw PortError(path_ + " is not a serial port");
    }
    ::ioctl(fd_, TIOCEXCL);
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    // TCSANOW, not TCSAFLUSH: what the device sent before we opened the
    // port (its start-up banner) is still of use.
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
        const std::string why = reason();
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        throw PortError("cannot set up serial port " + path_ + ": " + why);
    }
}

SerialPort::~SerialPort()
{
    if (fd_ >= 0) {
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
    }
}

void SerialPort::write(const std::string &bytes)
{
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (done < bytes.size()) {
        check_interrupt();
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw PortError("cannot write to " + path_ + ": " + reason());
        if (Clock::now() > deadline) throw PortError("cannot write to " + path_ + ": the port does not take data");
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, kInterruptPollMs);
    }
}

bool SerialPort::fill(Clock::time_point deadline)
{
    for (;;) {
        check_interrupt();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) return false;
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kInterruptPollMs)));
        if (r < 0 && errno != EINTR) throw PortError("cannot read from " + path_ + ": " + reason());
        if (r <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            pending_.append(buf, static_cast<std::size_t>(n));
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if ((n == 0 && (p.revents & (POLLHUP | POLLERR))) || (n < 0 && errno == EIO)) {
            // The far end has gone (an unplugged adapter, a closed pseudo-terminal).
            throw PortClosed("serial port " + path_ + " was closed at the device's end");
        }
        if (n == 0) continue;
        throw PortError("cannot read from " + path_ + ": " + reason());
    }
}

std::optional<std::string> SerialPort::read_line(Clock::time_point deadline)
{
    for (;;) {
        pending_.erase(std::remove(pending_.begin(), pending_.end(), '\n'), pending_.end());
        const auto cr = pending_.find('\r');
        // However long the device goes on without a carriage return, we
        // hold no more than one line's worth.
        if ((cr == std::string::npos ? pending_.size() : cr) > kMaxLine)
            throw PortError("the device on " + path_ + " sent a line of more than " + std::to_string(kMaxLine) +
                            " bytes: " + in_quotes(pending_.substr(0, 40)));
        if (cr != std::string::npos) {
            std::string line = pending_.substr(0, cr);
            pending_.erase(0, cr + 1);
            return line;
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

} // namespace snt
