// The far end of the board's serial line: what a PC does with the port.
#pragma once

#include <string>
#include <vector>

#include "board.h"

namespace sim {

class SerialHost {
public:
    virtual ~SerialHost() = default;
    // Wires the host to the board's USART and idle hook.
    virtual void attach(Board &board) = 0;
    // True once the host has nothing more to do; the board then stops.
    virtual bool finished() const = 0;
};

// Serial port on standard input and output, raw bytes.
//
// Careful mode sends the next input line (up to and including its carriage
// return) only when the firmware waits in its main loop with no line
// pending, so every line is run, in order. Stream mode sends all input at
// the line's byte rate as soon as the receiver is switched on, as a host
// that never waits would. Either way the host is finished when the input is
// used up, everything has been sent and the firmware is idle again.
class StdioHost final : public SerialHost {
public:
    enum class Mode { Careful, Stream };
    StdioHost(Mode mode, int in_fd, int out_fd);
    ~StdioHost() override;
    void attach(Board &board) override;
    bool finished() const override { return finished_; }

private:
    void on_idle();
    bool next_line(std::string &line);
    void flush();

    Mode mode_;
    int in_fd_, out_fd_;
    Board *board_ = nullptr;
    std::string input_;
    bool eof_ = false;
    bool finished_ = false;
    std::string output_;
};

// Serial port on a new pseudo-terminal linked at a path, in raw mode, so any
// serial program can open the path as a port. Runs until SIGINT or SIGTERM;
// removes the link when it ends.
class PtyHost final : public SerialHost {
public:
    explicit PtyHost(std::string link_path);
    ~PtyHost() override;
    void attach(Board &board) override;
    bool finished() const override { return finished_; }

private:
    void poll_port(int timeout_ms);
    void flush();
    void schedule_poll();

    std::string link_;
    int master_ = -1, slave_ = -1, signal_fd_ = -1;
    Board *board_ = nullptr;
    bool finished_ = false;
    std::vector<unsigned char> output_;
};

} // namespace sim
