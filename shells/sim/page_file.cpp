#include "shells/sim/page_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "board/peripherals/flash.h"

namespace sim {

static_assert(kSettingsPageFile.size == Flash::kPageSize && kRomFile.size == Flash::kMemorySize);

namespace {

std::string directory_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// The file a chain of symbolic links ends at (which need not exist): the
// page is written there, so a link keeps leading to the page.
std::string final_target(const std::string &path, const char *what)
{
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return p; // changed meanwhile: stat will tell
        const std::string t(target.data(), static_cast<std::size_t>(n));
        if (t[0] == '/') {
            p = t;
        } else {
            p = directory_of(p);
            p += '/';
            p += t;
        }
    }
    throw PageFileError(std::string(what) + " " + path + ": " + std::strerror(ELOOP));
}

} // namespace

void PageFile::check(const std::string &path, FlashFileKind kind)
{
    const std::string where = std::string(kind.what) + " " + path;
    if (path.empty()) throw PageFileError(std::string(kind.what) + ": an empty path");
    const std::string real = final_target(path, kind.what);
    const std::string dir = directory_of(real);
    struct stat st {};
    if (::stat(real.c_str(), &st) != 0) {
        if (errno != ENOENT) throw PageFileError(where + ": " + std::strerror(errno));
        // Made by the first erase or program.
        if (::access(dir.c_str(), W_OK | X_OK) != 0) {
            throw PageFileError(where + " cannot be made in " + dir + ": " + std::strerror(errno));
        }
        return;
    }
    if (!S_ISREG(st.st_mode)) throw PageFileError(where + " is not a regular file");
    if (st.st_size != static_cast<off_t>(kind.size)) {
        throw PageFileError(where + " has " + std::to_string(st.st_size) + " bytes; " +
                            (kind.size == kSettingsPageFile.size ? "a flash page has" : "the chip's flash has") +
                            " exactly " + std::to_string(kind.size));
    }
    // A page nobody may write (even one only root could) stays as it is.
    if ((st.st_mode & 0222) == 0) throw PageFileError(where + " is read-only");
    if (::access(real.c_str(), W_OK) != 0) throw PageFileError(where + " is read-only: " + std::strerror(errno));
    // It is replaced by a file written beside it.
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        throw PageFileError(where + " cannot be replaced in " + dir + ": " + std::strerror(errno));
    }
}

PageFile::PageFile(std::string path, FlashFileKind kind) : kind_(kind), path_(std::move(path))
{
    check(path_, kind_);
    real_path_ = final_target(path_, kind_.what);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    new_file_mode_ = 0666 & ~mask;
}

bool PageFile::load(std::uint8_t *bytes, std::size_t size)
{
    const std::string where = std::string(kind_.what) + " " + path_;
    if (size != kind_.size)
        throw PageFileError(where + ": holds " + std::to_string(kind_.size) + " bytes, not " + std::to_string(size));
    // Not blocking on the open: a FIFO put there meanwhile is refused.
    const int fd = ::open(real_path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        throw PageFileError(where + ": " + std::strerror(errno));
    }
    struct stat st {};
    std::size_t got = 0;
    int err = 0;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kind_.size)) err = EINVAL;
    while (err == 0 && got < kind_.size) {
        const ssize_t n = ::read(fd, bytes + got, kind_.size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            err = n < 0 ? errno : EINVAL;
        else
            got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (err != 0)
        throw PageFileError(where + " could not be read as " +
                            (kind_.size == kSettingsPageFile.size ? "one page" : "the chip's flash"));
    return true;
}

void PageFile::store(const std::uint8_t *bytes, std::size_t size)
{
    // The whole page goes to a new file beside the real one (through any
    // links), which then takes its place: the file holds either the old page
    // or the new one, never a part of either, and keeps its mode and owner.
    const std::string where = std::string(kind_.what) + " " + path_;
    struct stat st {};
    const bool exists = ::stat(real_path_.c_str(), &st) == 0;
    std::string temp = directory_of(real_path_) + "/." + name_of(real_path_) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC); // made new, never an existing file or link
    if (fd < 0) throw PageFileError(where + ": cannot make a file beside it: " + std::strerror(errno));
    int err = 0;
    if (::fchmod(fd, exists ? (st.st_mode & 07777) : new_file_mode_) != 0) err = errno;
    if (err == 0 && exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Only root may give a file away; the page itself is still right.
        }
    }
    std::size_t done = 0;
    while (err == 0 && done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            err = n < 0 ? errno : EIO;
        else
            done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), real_path_.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        throw PageFileError(where + " could not be written: " + std::strerror(err));
    }
}

} // namespace sim
