#include "shells/snt/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "core/text/text.h"
#include "shells/snt/interrupt.h"

namespace snt {

namespace {
std::string reason() { return std::strerror(errno); }

constexpr std::pair<std::uint32_t, speed_t> kSpeeds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800},
    {500000, B500000}, {576000, B576000}, {921600, B921600},
};

speed_t speed_of(std::uint32_t baud)
{
    for (const auto &[b, s] : kSpeeds) {
        if (b == baud) return s;
    }
    return B0;
}

// Raw, 8 data bits, one stop bit, no flow control, reads that never block.
void make_raw(termios &tio, SerialLine line)
{
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | PARODD | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    if (line.even_parity) tio.c_cflag |= PARENB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed_of(line.baud));
    cfsetospeed(&tio, speed_of(line.baud));
}
// A pseudo-terminal slave (Unix 98: majors 136 to 143) carries bytes, not
// bits: Linux takes every setting but the parity, and glibc then reports
// EINVAL because PARENB did not stick.
bool pseudo_terminal(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

// tcsetattr, taking a pseudo-terminal's refusal of parity (and only that)
// as done.
int set_attributes(int fd, int when, const termios &tio)
{
    if (::tcsetattr(fd, when, &tio) == 0) return 0;
    if (errno != EINVAL || !(tio.c_cflag & PARENB) || !pseudo_terminal(fd)) return -1;
    termios now{};
    if (::tcgetattr(fd, &now) != 0) return -1;
    if ((now.c_cflag & CSIZE) == CS8 && cfgetospeed(&now) == cfgetospeed(&tio)) return 0;
    errno = EINVAL;
    return -1;
}
} // namespace

bool supported_baud(std::uint32_t baud) { return speed_of(baud) != B0; }

SerialPort::SerialPort(const std::string &path, SerialLine line) : path_(printable(path))
{
    if (!supported_baud(line.baud))
        throw PortError("serial port " + path_ + ": " + std::to_string(line.baud) +
                        " baud is not a rate it can be set to");
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
    make_raw(tio, line);
    // TCSANOW, not TCSAFLUSH: what the device sent before we opened the
    // port (its start-up banner) is still of use.
    if (set_attributes(fd_, TCSANOW, tio) != 0) {
        const std::string why = reason();
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        throw PortError("cannot set up serial port " + path_ + ": " + why);
    }
}

void SerialPort::set_line(SerialLine line)
{
    termios tio{};
    if (!supported_baud(line.baud))
        throw PortError("serial port " + path_ + ": " + std::to_string(line.baud) +
                        " baud is not a rate it can be set to");
    if (::tcgetattr(fd_, &tio) != 0) throw PortError("cannot set up serial port " + path_ + ": " + reason());
    make_raw(tio, line);
    // Bytes sent at the old setting have left before the new one applies.
    if (set_attributes(fd_, TCSADRAIN, tio) != 0)
        throw PortError("cannot set up serial port " + path_ + ": " + reason());
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (done < bytes.size()) {
        check_interrupt();
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw PortError("cannot write to " + path_ + ": " + reason());
        if (std::chrono::steady_clock::now() > deadline)
            throw PortError("cannot write to " + path_ + ": the port does not take data");
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, kInterruptPollMs);
    }
}

ClientTime SerialPort::now()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string SerialPort::read(ClientTime deadline)
{
    for (;;) {
        check_interrupt();
        // A deadline that has passed still gets one look at what is there.
        const ClientTime left = deadline - now();
        const ClientTime wait_ms = left <= 0 ? 0 : std::min<ClientTime>((left + 999) / 1000, kInterruptPollMs);
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(wait_ms));
        if (r < 0 && errno != EINTR) throw PortError("cannot read from " + path_ + ": " + reason());
        if (r > 0) {
            char buf[512];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
            if ((n == 0 && (p.revents & (POLLHUP | POLLERR))) || (n < 0 && errno == EIO)) {
                // The far end has gone (an unplugged adapter, a closed pseudo-terminal).
                throw PortClosed("serial port " + path_ + " was closed at the device's end");
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                throw PortError("cannot read from " + path_ + ": " + reason());
        }
        if (left <= 0) return {};
    }
}

} // namespace snt
