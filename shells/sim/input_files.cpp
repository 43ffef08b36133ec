#include "shells/sim/input_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "board/bench/dut.h"
#include "board/bench/touchstone.h"

namespace sim {

namespace {

// Appends what is left in `fd` to `out`; false on a read error (errno says
// which) or when more than `limit` bytes come.
template <typename Bytes>
bool read_rest(int fd, Bytes &out, std::size_t limit)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.insert(out.end(), buf, buf + n);
        if (out.size() > limit) {
            errno = EFBIG;
            return false;
        }
    }
}

} // namespace

ElfImage read_image_file(const std::string &path)
{
    // Only a regular file of an image's size is read: a FIFO or a device
    // would block or never end.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw ImageError("cannot read " + path + ": no such file");
    if (!S_ISREG(st.st_mode)) throw ImageError(path + ": not a regular file");
    if (static_cast<std::uintmax_t>(st.st_size) > ElfImage::kMaxFileSize) {
        throw ImageError(path + ": larger than any chip image");
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    std::vector<std::uint8_t> file;
    const bool ok = fd >= 0 && read_rest(fd, file, ElfImage::kMaxFileSize);
    if (fd >= 0) ::close(fd);
    if (!ok) throw ImageError("cannot read " + path);
    return ElfImage(file, path);
}

std::string read_touchstone_file(const std::string &path)
{
    const std::string where = touchstone::where(path);
    // Not blocking on the open: a FIFO is refused at once, not waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw DutError(where + ": cannot open it: " + std::strerror(errno));
    std::string text;
    std::string error;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = std::string("cannot read it: ") + std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        error = std::string("cannot read it: ") + std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
    } else if (static_cast<std::uintmax_t>(st.st_size) > touchstone::kMaxBytes) {
        error = std::to_string(st.st_size) + " bytes; a Touchstone file may have at most " +
            std::to_string(touchstone::kMaxBytes);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (error.empty() && !read_rest(fd, text, touchstone::kMaxBytes)) {
        error = errno == EFBIG
            ? "more than the " + std::to_string(touchstone::kMaxBytes) + " bytes a Touchstone file may have"
            : std::string("cannot read it: ") + std::strerror(errno);
    }
    ::close(fd);
    if (!error.empty()) throw DutError(where + ": " + error);
    return text;
}

} // namespace sim
