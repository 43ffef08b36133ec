// A file snt-sim writes (--vcd, --bus-log), opened in two steps so that a
// run refused at start changes nothing on disk: the constructor opens the
// path without truncating it (a missing file is created empty), and only
// commit() truncates it. A file created here and dropped before commit() is
// removed again. Every write is checked: a failure throws OutputError with
// the system's reason.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <sys/types.h>

namespace sim {

class StopSignals;

// A file that cannot be opened or written; the message is one line that
// names the file (and the option it came from) and the system's reason.
class OutputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class OutputFile {
public:
    // `option` leads every message ("--vcd"); it may be empty.
    OutputFile(std::string option, std::string path);
    // Without close(), what is buffered is written if it can be, silently.
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // The file's device and inode, to tell whether two names are one file.
    dev_t device() const { return dev_; }
    ino_t inode() const { return ino_; }
    const std::string &path() const { return path_; }
    // "--vcd FILE", or the path alone without an option.
    std::string label() const;

    // Writes to a pipe or terminal also watch for a stop signal: once one
    // has come, what cannot be written at once is dropped instead of waited
    // for.
    void watch(StopSignals &stop) { stop_ = &stop; }

    // Empties an existing regular file and keeps what is written from now.
    void commit();
    // Buffers `n` bytes; writes them out when the buffer is full.
    void write(const char *data, std::size_t n);
    void write(const std::string &text) { write(text.data(), text.size()); }
    // Writes out everything buffered.
    void flush();
    // Flushes and closes; throws when either fails.
    void close();

private:
    [[noreturn]] void fail(const char *what, int err);

    std::string option_, path_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    bool created_ = false, committed_ = false, failed_ = false, regular_ = false;
    StopSignals *stop_ = nullptr;
    std::string buffer_;
};

} // namespace sim
