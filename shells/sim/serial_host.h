// The far end of the board's serial line: what a PC does with the port.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "board/board.h"
#include "shells/sim/stop_signals.h"

namespace sim {

class SerialHost {
public:
    virtual ~SerialHost() = default;
    // Wires the host to the board's USART and idle hook.
    virtual void attach(Board &board) = 0;
    // True once the host has nothing more to do, or a stop signal came; the
    // board then stops.
    virtual bool finished() const = 0;
    // Writes out whatever the firmware sent that is still held; throws
    // std::runtime_error when it cannot be written.
    virtual void finish() {}
};

// Serial port on standard input and output, raw bytes.
//
// Careful mode sends the next input line (up to and including its carriage
// return) only when the firmware waits in its main loop with no line
// pending, so every line is run, in order. Stream mode sends the input at
// the line's byte rate from the moment the receiver is switched on, as a
// host that never waits would, reading it only as fast as the line takes
// it. Either way the host is finished when the input is used up,
// everything has been sent and the firmware is idle again.
//
// Memory stays bounded whatever the input: careful mode passes a line
// longer than kMaxLine bytes on in pieces of that size (each when the
// firmware is idle; the firmware keeps only the start of an overlong line
// anyway), and stream mode reads a block only shortly before the line
// needs it. Output goes out in blocks; an output that cannot be written
// throws std::runtime_error with the reason. Every wait for input or for
// room to write also watches for a stop signal.
class StdioHost final : public SerialHost {
public:
    static constexpr std::size_t kMaxLine = 4096;
    enum class Mode { Careful, Stream };
    StdioHost(Mode mode, int in_fd, int out_fd, StopSignals &stop);
    ~StdioHost() override;
    void attach(Board &board) override;
    bool finished() const override { return finished_ || stop_.received() != 0; }
    void finish() override { flush(); }
    // Waits for input at most this long (default -1: until it comes), then
    // pauses the board and lets virtual time go on: for a run loop that has
    // a debugger's socket to look after between slices.
    void set_input_wait_limit(int ms) { wait_limit_ms_ = ms; }

private:
    void on_idle();
    void feed();
    bool next_line(std::string &line);
    bool read_more();
    void take(std::string &line, std::size_t n);
    void flush();

    Mode mode_;
    int in_fd_, out_fd_;
    StopSignals &stop_;
    Board *board_ = nullptr;
    std::string input_;
    std::size_t scanned_ = 0; // bytes of input_ known to hold no carriage return
    bool eof_ = false;
    bool feeding_ = false;
    bool finished_ = false;
    bool output_failed_ = false;
    std::string output_;
    int wait_limit_ms_ = -1;
};

// The pseudo-terminal's link cannot be made (the path exists, or its folder
// does not); the message names the path and the system's reason.
class PortLinkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Serial port on a new pseudo-terminal linked at a path, in raw mode, so any
// serial program can open the path as a port. Runs until a stop signal;
// removes the link when it ends. The path must not exist: the link is made
// new, and nothing is ever replaced.
class PtyHost final : public SerialHost {
public:
    PtyHost(std::string link_path, StopSignals &stop);
    ~PtyHost() override;
    void attach(Board &board) override;
    bool finished() const override { return stop_.received() != 0; }

private:
    void poll_port(int timeout_ms);
    void flush();
    void schedule_poll();

    std::string link_, slave_name_;
    StopSignals &stop_;
    int master_ = -1, slave_ = -1;
    bool linked_ = false;
    Board *board_ = nullptr;
    std::vector<unsigned char> output_;
};

} // namespace sim
