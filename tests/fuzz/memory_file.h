// A file that lives only in memory, for readers that take a path: the fuzz
// input is written into it and the reader opens it by /proc/self/fd/N, so no
// fuzz-controlled path ever reaches the file system and nothing is left
// behind when the fuzzer stops.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace snt_fuzz {

class MemoryFile {
public:
    MemoryFile() : fd_(::memfd_create("fuzz-input", MFD_CLOEXEC))
    {
        if (fd_ < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    // Replaces the content with `size` bytes at `data`. Not const: the
    // object is the file, whose content it changes.
    // NOLINTNEXTLINE(readability-make-member-function-const)
    void assign(const std::uint8_t *data, std::size_t size)
    {
        if (::ftruncate(fd_, 0) != 0) fail("ftruncate");
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0) fail("pwrite");
            done += static_cast<std::size_t>(n);
        }
    }

    const std::string &path() const { return path_; }

private:
    [[noreturn]] static void fail(const char *what)
    {
        std::perror(what);
        std::abort();
    }

    int fd_;
    std::string path_;
};

} // namespace snt_fuzz
