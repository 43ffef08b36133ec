// What runs the firmware on the board: one interface for the board's two
// CPUs, the firmware's host build (the shell's HostCpu, which loads it) and
// the chip image on the Cortex-M0 core (ChipCpu).
//
// The board owns its CPU and drives it only through run_until(); virtual
// time moves only inside it, so between two calls the board, its models and
// its hosts stand still. A CPU reaches the rest of the board through the
// Board it was made for: its address map (Board::cpu_read / cpu_write), the
// NVIC, the scheduler, and the board's hooks for a pause and for the main
// loop's wait.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "board/peripherals/scheduler.h"

namespace sim {

class Board;

// Entries of one exception's handler and the cycles from the first of its
// entry to the last of its return, pre-emption by others included.
struct HandlerFigures {
    std::uint64_t count = 0;
    Cycles cycles_max = 0;
    Cycles cycles_total = 0;
};

class Cpu {
public:
    virtual ~Cpu() = default;

    // Runs the firmware until `done` holds, the board's time reaches
    // `until`, or the board has been asked to pause (Board::request_pause);
    // true when `done` held. A call continues where the last one stopped;
    // the first starts from reset. Throws BoardError when the firmware
    // cannot go on (it halted, returned from main, waits for what never
    // comes).
    virtual bool run_until(const std::function<bool()> &done, Cycles until) = 0;

    // Waiting in its main loop for a line: in thread mode, no line pending,
    // no exception active or pending. (The board adds the transmitter.)
    virtual bool waiting_for_line() const = 0;

    // ---- what it adds to the board's statistics
    // Instructions executed, where the CPU counts them.
    virtual std::optional<std::uint64_t> instructions() const = 0;
    // By exception number, 0 to 47.
    virtual HandlerFigures handler(int exception) const = 0;
    // Cycles it stood still while the flash was busy.
    virtual Cycles flash_stall_cycles() const = 0;
};

// Makes the CPU of a board, once the board's models exist.
using CpuFactory = std::function<std::unique_ptr<Cpu>(Board &board)>;

} // namespace sim
