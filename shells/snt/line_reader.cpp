#include "shells/snt/line_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/analysis/frequency.h"
#include "core/text/text.h"
#include "shells/snt/interrupt.h"

namespace snt {

LineReader::LineReader(const std::string &path, Limits limits) : path_(path), lines_(path, limits)
{
    // Non-blocking: opening a FIFO must not wait for a writer here, where
    // a signal could not end the wait.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw InputError("cannot read " + printable(path) + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd_);
        throw InputError("cannot read " + printable(path) + ": it is a folder");
    }
}

LineReader::~LineReader() { ::close(fd_); }

bool LineReader::fill()
{
    char buf[65536];
    for (;;) {
        check_interrupt();
        // A FIFO without a writer yet reports nothing here; one whose
        // writer has gone reports a hang-up, and read() then gives 0.
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, kInterruptPollMs);
        if (r < 0 && errno != EINTR) throw InputError("cannot read " + printable(path_) + ": " + std::strerror(errno));
        if (r <= 0) continue;
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            lines_.feed(std::string_view(buf, static_cast<std::size_t>(n)));
            return true;
        }
        if (n == 0) return false;
        if (errno == EAGAIN || errno == EINTR) continue;
        throw InputError("cannot read " + printable(path_) + ": " + std::strerror(errno));
    }
}

std::optional<std::string> LineReader::next()
{
    for (;;) {
        if (auto line = lines_.next()) return line;
        if (eof_) return std::nullopt;
        if (!fill()) {
            eof_ = true;
            lines_.end();
        }
    }
}

} // namespace snt
