#include "shells/snt/file_identity.h"

#include <sys/stat.h>

#include <cerrno>

namespace snt {

std::optional<FileIdentity> FileIdentity::of(const std::string &path)
{
    if (path.empty()) return std::nullopt;
    FileIdentity id;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return std::nullopt;
        id.exists_ = true;
        id.device_ = st.st_dev;
        id.inode_ = st.st_ino;
        return id;
    }
    struct stat entry {};
    if (errno != ENOENT || ::lstat(path.c_str(), &entry) == 0) return std::nullopt; // not plainly missing
    const auto slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    id.name_ = slash == std::string::npos ? path : path.substr(slash + 1);
    if (id.name_.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    id.device_ = st.st_dev;
    id.inode_ = st.st_ino;
    return id;
}

std::optional<FileIdentity> FileIdentity::of_descriptor(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    FileIdentity id;
    id.exists_ = true;
    id.device_ = st.st_dev;
    id.inode_ = st.st_ino;
    return id;
}

} // namespace snt
