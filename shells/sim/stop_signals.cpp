#include "shells/sim/stop_signals.h"

#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace sim {

StopSignals::StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (const int err = pthread_sigmask(SIG_BLOCK, &set, &old_mask_); err != 0) {
        throw std::runtime_error(std::string("cannot block SIGINT, SIGTERM and SIGHUP: ") + std::strerror(err));
    }
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) {
        const int err = errno;
        pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
        throw std::runtime_error(std::string("cannot watch for SIGINT, SIGTERM and SIGHUP: ") + std::strerror(err));
    }
}

StopSignals::~StopSignals()
{
    ::close(fd_);
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

void StopSignals::drain()
{
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (received_ == 0) received_ = static_cast<int>(info.ssi_signo);
    }
}

int StopSignals::check()
{
    if (received_ == 0) drain();
    return received_;
}

StopSignals::Wait StopSignals::wait(int fd, short events, int timeout_ms)
{
    if (check() != 0) {
        pollfd p{fd, events, 0};
        while (::poll(&p, 1, 0) < 0 && errno == EINTR) {}
        return (p.revents & (events | POLLHUP | POLLERR | POLLNVAL)) ? Wait::Ready : Wait::Stopped;
    }
    pollfd fds[2] = {{fd, events, 0}, {fd_, POLLIN, 0}};
    int n;
    while ((n = ::poll(fds, 2, timeout_ms)) < 0 && errno == EINTR) {}
    if (n < 0) throw std::runtime_error(std::string("cannot wait: ") + std::strerror(errno));
    if (fds[1].revents & POLLIN) {
        drain();
        if (received_ != 0) return Wait::Stopped;
    }
    if (fds[0].revents & (events | POLLHUP | POLLERR | POLLNVAL)) return Wait::Ready;
    return Wait::Timeout;
}

} // namespace sim
