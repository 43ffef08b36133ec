// One serial port, opened exclusively, raw at 115200 8N1 without flow
// control, read with deadlines on the steady clock.
#pragma once

#include <string>

#include "shells/snt/link.h"

namespace snt {

class SerialPort final : public Link {
public:
    // Opens `path` and sets it up; throws PortError with one line (missing,
    // busy, not a serial port). Never blocks waiting for the device.
    explicit SerialPort(const std::string &path);
    ~SerialPort() override;
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    const std::string &path() const { return path_; }

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
