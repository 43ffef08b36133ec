// A text file read line by line within bounds: no file (/dev/zero, an
// endless pipe, a FIFO nobody writes to) can take unbounded memory, and
// Ctrl-C or SIGTERM stops the wait for a slow one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace snt {

class LineReader {
public:
    struct Limits {
        std::size_t line_bytes;   // longest line, without its end
        std::uint64_t file_bytes; // the whole file
    };

    // Opens `path` (a regular file, a device or a pipe; not a folder).
    // Throws InputError "cannot read PATH: reason".
    LineReader(const std::string &path, Limits limits);
    ~LineReader();
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    // The next line without its "\n" or "\r\n"; the last line needs no end.
    // nullopt at the end of the file. Throws InputError naming the line
    // when it is too long or the file too large, Interrupted on a signal.
    std::optional<std::string> next();

    // The number of the line next() returned last, from 1.
    std::size_t line_number() const { return line_; }

private:
    bool fill();

    std::string path_;
    Limits limits_;
    int fd_ = -1;
    std::string buffer_;
    std::size_t begin_ = 0; // where the next line starts in buffer_
    std::uint64_t total_ = 0;
    std::size_t line_ = 0;
    bool eof_ = false;
};

} // namespace snt
