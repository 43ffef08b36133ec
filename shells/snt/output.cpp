#include "shells/snt/output.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>

#include "core/analysis/frequency.h"
#include "core/text/text.h"
#include "shells/snt/interrupt.h"

namespace snt {

namespace {

std::string reason(int e = errno) { return std::strerror(e); }

// The folder part and the name part of a path ("." for a bare name).
std::pair<std::string, std::string> split(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string real_path(const std::string &path)
{
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) == nullptr) return "";
    return buf;
}

std::string temp_root()
{
    const char *t = std::getenv("TMPDIR");
    return t && *t ? t : "/tmp";
}

// A new file with a name nobody else uses, or -1 with errno set.
int create_unique(const std::string &folder, const std::string &stem, mode_t mode, std::string &name)
{
    std::random_device entropy;
    std::mt19937 rng(entropy());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char tag[16];
        std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(rng()));
        name = folder;
        if (folder != "/") name += '/';
        name += stem;
        name += tag;
        name += ".tmp";
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

} // namespace

void write_all(int fd, std::string_view bytes, const std::string &name)
{
    while (!bytes.empty()) {
        check_interrupt();
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, kInterruptPollMs);
            continue;
        }
        throw std::runtime_error("cannot write " + name + ": " + (n < 0 ? reason() : std::string("nothing was taken")));
    }
}

void print(std::string_view text) { write_all(1, text, "to standard output"); }

void check_standard_output()
{
    const int flags = ::fcntl(1, F_GETFL);
    if (flags < 0) throw InputError("standard output is closed");
    if ((flags & O_ACCMODE) == O_RDONLY) throw InputError("standard output is not open for writing");
}

OutputFile::OutputFile(std::string option, std::string path) : option_(std::move(option)), path_(std::move(path))
{
    const auto refuse = [&](const std::string &why) { throw InputError(option_ + " " + describe() + ": " + why); };
    struct stat entry {};
    std::string folder;
    std::string name;
    if (::lstat(path_.c_str(), &entry) == 0) {
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) {
            if (S_ISLNK(entry.st_mode) && errno == ENOENT) refuse("a symbolic link to a file that does not exist");
            refuse(reason());
        }
        if (S_ISDIR(st.st_mode)) refuse("is a folder");
        if (::access(path_.c_str(), W_OK) != 0) refuse(reason());
        if (S_ISREG(st.st_mode)) {
            target_ = real_path(path_);
            if (target_.empty()) refuse(reason());
            keep_mode_ = st.st_mode & 07777;
            std::tie(folder, name) = split(target_);
        } else {
            target_ = path_;
            replace_ = false;
        }
    } else if (errno == ENOENT) {
        std::string given;
        std::tie(given, name) = split(path_);
        if (name.empty()) refuse("names a folder, not a file");
        folder = real_path(given);
        if (folder.empty()) refuse("cannot write in " + printable(given) + ": " + reason());
        target_ = folder + (folder == "/" ? "" : "/") + name;
    } else {
        refuse(reason());
    }

    if (replace_) {
        // A hidden name next to the file, so the rename stays on one file
        // system and is atomic. New files get the usual mode (umask).
        fd_ = create_unique(folder, "." + name.substr(0, 100) + ".snt-", 0666, scratch_);
        if (fd_ < 0) refuse("cannot write in " + printable(folder) + ": " + reason());
    } else {
        fd_ = create_unique(temp_root(), "snt-output-", 0600, scratch_);
        if (fd_ < 0) refuse("cannot make a temporary file in " + printable(temp_root()) + ": " + reason());
    }
}

OutputFile::~OutputFile()
{
    if (fd_ >= 0) ::close(fd_);
    if (!scratch_.empty() && (!committed_ || !replace_)) ::unlink(scratch_.c_str());
}

std::string OutputFile::describe() const { return printable(path_); }

void OutputFile::fail(const std::string &what) const
{
    throw std::runtime_error("cannot write " + describe() + ": " + what);
}

void OutputFile::write(std::string_view bytes)
{
    if (fd_ < 0 || committed_) fail("the file is already complete");
    write_all(fd_, bytes, describe());
}

void OutputFile::commit()
{
    if (fd_ < 0 || committed_) fail("the file is already complete");
    if (replace_) {
        if (keep_mode_ && ::fchmod(fd_, *keep_mode_) != 0) fail(reason());
        if (::fsync(fd_) != 0) fail(reason());
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) fail(reason());
        if (::rename(scratch_.c_str(), target_.c_str()) != 0) fail(reason());
        committed_ = true;
        return;
    }
    // A device or a pipe: open it only now (a pipe without a reader waits
    // here, and Ctrl-C still works), then copy.
    int out = -1;
    for (;;) {
        check_interrupt();
        out = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (out >= 0) break;
        if (errno == ENXIO) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kInterruptPollMs));
            continue;
        }
        if (errno != EINTR) fail(reason());
    }
    try {
        char buf[65536];
        off_t at = 0;
        for (;;) {
            const ssize_t n = ::pread(fd_, buf, sizeof buf, at);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail(reason());
            if (n == 0) break;
            write_all(out, std::string_view(buf, static_cast<std::size_t>(n)), describe());
            at += n;
        }
    } catch (...) {
        ::close(out);
        throw;
    }
    if (::close(out) != 0) fail(reason());
    committed_ = true;
}

} // namespace snt
