// Helpers for suites that run the firmware on the virtual board.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "board/board.h"
#include "shells/sim/firmware_symbols.h"
#include "shells/sim/sim_board.h"

namespace snt_test {

using sim::Cycles;

constexpr Cycles ms(double v) { return static_cast<Cycles>(v * sim::kCoreHz / 1000.0); }
constexpr Cycles us(double v) { return static_cast<Cycles>(v * sim::kCoreHz / 1'000'000.0); }

// Level changes of one pin, with their virtual times.
class PinTrace {
public:
    PinTrace(sim::Board &board, sim::Gpio &port, int pin);
    const std::vector<std::pair<Cycles, sim::Level>> &changes() const { return changes_; }
    // Rising edges at or after `from`.
    int rising_edges(Cycles from = 0) const;

private:
    std::vector<std::pair<Cycles, sim::Level>> changes_;
};

// Everything the firmware transmits, with the time each byte left the line.
class SerialCapture {
public:
    explicit SerialCapture(sim::Board &board);
    const std::string &text() const { return text_; }
    const std::vector<Cycles> &times() const { return times_; }
    void clear()
    {
        text_.clear();
        times_.clear();
    }

private:
    std::string text_;
    std::vector<Cycles> times_;
};

// A board with the firmware loaded; nothing has run yet.
class BoardTest : public ::testing::Test {
protected:
    sim::SimBoard board;
    SerialCapture serial{board};

    // Runs start-up to the first wait of the main loop.
    void boot();
    // Sends bytes as the host would, one byte time apart.
    void send(const std::string &bytes);
    // Sends a line and runs until the firmware is idle again.
    void send_and_settle(const std::string &bytes, Cycles limit = ms(100));
    // The firmware's globals and functions: SNT_FW(board.firmware(), name).
};

// Result of running a program of ours as a child process.
struct ProcessResult {
    int exit_code = -1; // -1 when it was killed for taking too long
    std::string out, err;
};

// Path of a program built next to the test executable.
std::string built_program(const std::string &name);

// Runs `argv` with `input` on its standard input; kills it after `timeout_s`.
// In a forked child: replaces it with argv[0] run with `argv`, or ends it
// with status 127.
[[noreturn]] void exec_program(const std::vector<std::string> &argv);

ProcessResult run_process(const std::vector<std::string> &argv, const std::string &input, double timeout_s = 30);

} // namespace snt_test
