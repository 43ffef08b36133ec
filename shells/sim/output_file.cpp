#include "shells/sim/output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "shells/sim/stop_signals.h"

namespace sim {

namespace {
constexpr std::size_t kBufferSize = std::size_t{64} * 1024;
// A pipe or terminal gets this much at a time, which it takes without
// blocking once it reports room.
constexpr std::size_t kMaxWrite = 4096;
} // namespace

OutputFile::OutputFile(std::string option, std::string path) : option_(std::move(option)), path_(std::move(path))
{
    if (path_.empty()) throw OutputError(option_.empty() ? "an empty file name" : option_ + ": an empty file name");
    // O_NONBLOCK only for the open itself: a FIFO with no reader is refused
    // at once instead of waiting for one.
    fd_ = ::open(path_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 && errno == ENOENT) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK | O_CREAT | O_EXCL, 0666);
        created_ = fd_ >= 0;
    }
    if (fd_ < 0) throw OutputError(label() + ": " + std::strerror(errno));
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        throw OutputError(label() + ": " + std::strerror(err));
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    regular_ = S_ISREG(st.st_mode);
}

OutputFile::~OutputFile()
{
    if (fd_ < 0) return;
    if (!committed_) {
        // Refused before it was taken: a file made here goes again, if the
        // name still leads to it.
        struct stat st {};
        if (created_ && ::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
            ::unlink(path_.c_str());
        }
    } else if (!failed_) {
        try {
            flush();
        } catch (const OutputError &) {}
    }
    ::close(fd_);
}

std::string OutputFile::label() const { return option_.empty() ? path_ : option_ + " " + path_; }

void OutputFile::fail(const char *what, int err)
{
    failed_ = true;
    buffer_.clear();
    throw OutputError(label() + ": " + what + ": " + std::strerror(err));
}

void OutputFile::commit()
{
    if (committed_) return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) fail("cannot write", errno);
    if (S_ISREG(st.st_mode) && st.st_size != 0 && ::ftruncate(fd_, 0) != 0) fail("cannot empty it", errno);
    committed_ = true;
}

void OutputFile::write(const char *data, std::size_t n)
{
    if (failed_) return;
    buffer_.append(data, n);
    if (buffer_.size() >= kBufferSize) flush();
}

void OutputFile::flush()
{
    if (failed_ || fd_ < 0) return;
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const std::size_t chunk = regular_ ? buffer_.size() - done : std::min(buffer_.size() - done, kMaxWrite);
        if (!regular_ && stop_ != nullptr && stop_->wait(fd_, POLLOUT) == StopSignals::Wait::Stopped) break;
        const ssize_t w = ::write(fd_, buffer_.data() + done, chunk);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) fail("cannot write", w < 0 ? errno : EIO);
        done += static_cast<std::size_t>(w);
    }
    buffer_.clear();
}

void OutputFile::close()
{
    if (fd_ < 0) return;
    if (failed_) return;
    flush();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        failed_ = true;
        throw OutputError(label() + ": cannot write: " + std::strerror(errno));
    }
}

} // namespace sim
