// One serial port, opened exclusively, raw at 115200 8N1 without flow
// control, read line by line with time-outs.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

namespace snt {

// The port cannot be opened or used, or the device went quiet.
class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The far end hung up: an unplugged adapter, a virtual board that stopped.
class PortClosed : public PortError {
public:
    using PortError::PortError;
};

class SerialPort {
public:
    using Clock = std::chrono::steady_clock;

    // The longest line read_line() takes; the tester's longest is a level
    // of about 45 characters.
    static constexpr std::size_t kMaxLine = 256;

    // Opens `path` and sets it up; throws PortError with one line (missing,
    // busy, not a serial port). Never blocks waiting for the device.
    explicit SerialPort(const std::string &path);
    ~SerialPort();
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    const std::string &path() const { return path_; }

    // Sends the bytes and waits until they have left our side.
    void write(const std::string &bytes);

    // The next line ended by a carriage return (without it), or nullopt when
    // none is complete by `deadline`. Line feeds are dropped. Throws
    // PortError for a line longer than kMaxLine, PortClosed on a hang-up.
    std::optional<std::string> read_line(Clock::time_point deadline);

private:
    bool fill(Clock::time_point deadline);

    std::string path_;
    int fd_ = -1;
    std::string pending_;
};

} // namespace snt
