// One serial port, opened exclusively, raw without flow control, read with
// deadlines on the steady clock: 115200 8N1 for the tester, 8E1 (even
// parity) for the chip's serial bootloader.
#pragma once

#include <cstdint>
#include <string>

#include "shells/snt/link.h"

namespace snt {

// The line a port is set to: 8 data bits, one stop bit.
struct SerialLine {
    std::uint32_t baud = 115200;
    bool even_parity = false;
    // The bootloader's line at `baud`.
    static SerialLine bootloader(std::uint32_t baud) { return {baud, true}; }
};

// The baud rates a port can be set to (the termios rates from 1200 to
// 921600); false for another.
bool supported_baud(std::uint32_t baud);

class SerialPort final : public Link {
public:
    // Opens `path` and sets it up; throws PortError with one line (missing,
    // busy, not a serial port). Never blocks waiting for the device.
    explicit SerialPort(const std::string &path, SerialLine line = {});
    ~SerialPort() override;
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    const std::string &path() const { return path_; }
    // Sets the line anew on the open port (keeping what has arrived, and
    // the port ours): as closing and opening it again at this line would.
    // A pseudo-terminal keeps the rate but has no parity to set. Throws
    // PortError.
    void set_line(SerialLine line);

    const std::string &name() const override { return path_; }
    // Sends the bytes and waits until they have left our side.
    void write(const std::string &bytes) override;
    // Waits in slices, so Ctrl-C (Interrupted) ends any wait promptly.
    std::string read(ClientTime deadline) override;
    ClientTime now() override;

private:
    std::string path_;
    int fd_ = -1;
};

} // namespace snt
