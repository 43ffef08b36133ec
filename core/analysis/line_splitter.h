// Lines of a text within bounds, from bytes handed in as they come: no
// input (an endless device, a pipe, a file in memory) can take unbounded
// memory, and every reader of a text (a file read piece by piece, a buffer
// from a page) gives the same lines and the same refusals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace snt {

class LineSplitter {
public:
    struct Limits {
        std::size_t line_bytes;   // longest line, without its end
        std::uint64_t file_bytes; // the whole text
    };

    // `name` names the text in messages (shown printable).
    LineSplitter(std::string_view name, Limits limits);

    // The next bytes of the text. Throws InputError when the text grows
    // beyond file_bytes.
    void feed(std::string_view bytes);
    // The text has ended: its last line needs no end.
    void end() { eof_ = true; }

    // The next whole line without its "\n" or "\r\n", or nullopt when none
    // is held yet (feed more, or end) or, after end(), none is left. Throws
    // InputError naming the line when it is too long, as soon as it is.
    std::optional<std::string> next();
    // After end(): every line has been taken.
    bool done() const { return eof_ && begin_ >= buffer_.size(); }

    // The number of the line next() returned last, from 1.
    std::size_t line_number() const { return line_; }

private:
    std::string too_long() const;

    std::string name_;
    Limits limits_;
    std::string buffer_;
    std::size_t begin_ = 0;   // where the next line starts in buffer_
    std::size_t scanned_ = 0; // bytes after begin_ known to hold no line end
    std::uint64_t total_ = 0;
    std::size_t line_ = 0;
    bool eof_ = false;
};

} // namespace snt
