// A text file read line by line within bounds: no file (/dev/zero, an
// endless pipe, a FIFO nobody writes to) can take unbounded memory, and
// Ctrl-C or SIGTERM stops the wait for a slow one. The lines and their
// bounds are LineSplitter's (core/analysis/line_splitter.h); this reads.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/analysis/line_splitter.h"

namespace snt {

class LineReader {
public:
    using Limits = LineSplitter::Limits;

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
    std::size_t line_number() const { return lines_.line_number(); }

private:
    bool fill();

    std::string path_;
    int fd_ = -1;
    LineSplitter lines_;
    bool eof_ = false;
};

} // namespace snt
