// The chip image on the board's Cortex-M0 core as the GDB stub's target:
// the core's registers, the address map through the models (a debugger's
// read never changes a peripheral: Board::peek), the breakpoint unit's four
// comparators and software breakpoints, the two data watchpoints, single
// steps and halts (ChipCpu's debugger control), and the board's monitor
// commands.
//
// The shell that carries the connection runs the board while the stub says
// the target runs, and hands the stop it takes here (take_stop) to the stub.
// While the core is halted the board's run_until returns at once and no
// virtual time passes anywhere on the board.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "board/cpu/chip_cpu.h"
#include "board/debug/debug_target.h"

namespace sim {

class Board;

class ChipDebugTarget final : public DebugTarget {
public:
    ChipDebugTarget(Board &board, ChipCpu &cpu) : board_(board), cpu_(cpu) {}

    // A debugger attaches: from now on what would stop the board halts the
    // core instead, and the core halts at its next instruction boundary (at
    // once when the board is not running).
    void attach();
    // The core halted since the last call: why, in the stub's terms.
    std::optional<StopEvent> take_stop();
    // The debugger asked to end the run.
    bool killed() const { return killed_; }

    std::uint32_t read_register(int n) override;
    bool write_register(int n, std::uint32_t value) override;
    std::size_t read_memory(std::uint32_t address, std::uint8_t *out, std::size_t size) override;
    bool write_memory(std::uint32_t address, const std::uint8_t *data, std::size_t size) override;
    bool add_breakpoint(BreakpointType type, std::uint32_t address, unsigned kind) override;
    bool remove_breakpoint(BreakpointType type, std::uint32_t address, unsigned kind) override;
    bool add_watchpoint(WatchType type, std::uint32_t address, std::uint32_t length) override;
    bool remove_watchpoint(WatchType type, std::uint32_t address, std::uint32_t length) override;
    void resume(ResumeMode mode) override;
    void interrupt() override;
    void reset(ResetMode mode) override;
    MonitorReply monitor(std::string_view command) override;
    void detach() override;
    void kill() override;

private:
    struct Watch {
        WatchType type;
        std::uint32_t address, length;
    };
    bool read_byte(std::uint32_t address, std::uint8_t &byte);
    bool write_device(std::uint32_t address, const std::uint8_t *data, std::size_t size);
    void update_breakpoints();
    void update_watchpoints();
    StopEvent stop_of(const CoreHalt &halt) const;

    Board &board_;
    ChipCpu &cpu_;
    std::vector<std::uint32_t> software_, hardware_;
    std::vector<Watch> watches_;
    bool killed_ = false;
};

} // namespace sim
