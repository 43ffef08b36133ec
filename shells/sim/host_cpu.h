// The firmware's host build as the board's CPU: a private copy of the
// module (FirmwareModule), its main() on a stack of its own that takes
// turns with the board's code (CpuFiber), and the Port its register cells
// and wait hints call (firmware/platform/host/host_port.h).
//
// Every register access of the firmware costs a few core cycles, lets the
// events that have come due run, and is an instruction boundary at which
// pending interrupts are taken with the core's priorities and nesting: the
// handler the firmware gave for the exception is called right there. A
// busy-wait that can only end on an event skips straight to that event.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/cpu/cpu.h"
#include "host_port.h"
#include "shells/sim/cpu_fiber.h"
#include "shells/sim/firmware_module.h"

namespace sim {

// The Port comes first: the firmware calls it at every register access,
// the board its Cpu side a few times a run.
class HostCpu final : public snt_host::Port, public Cpu {
public:
    // Core cycles one peripheral access takes.
    static constexpr Cycles kAccessCycles = snt_host::kAccessCycles;

    // Loads its own copy of the module at `module_path` and attaches to it;
    // main() starts with the first run_until.
    HostCpu(Board &board, const std::string &module_path);
    ~HostCpu() override;
    HostCpu(const HostCpu &) = delete;
    HostCpu &operator=(const HostCpu &) = delete;

    // A factory for Board: the host build in `module_path`.
    static CpuFactory factory(std::string module_path);

    FirmwareModule &firmware() { return *module_; }
    // Register accesses the firmware has made.
    std::uint64_t accesses() const { return quiet_->accesses; }

    // ---- Cpu
    bool run_until(const std::function<bool()> &done, Cycles until) override;
    bool waiting_for_line() const override;
    std::optional<std::uint64_t> instructions() const override { return std::nullopt; }
    HandlerFigures handler(int exception) const override { return handlers_.at(exception); }
    Cycles flash_stall_cycles() const override { return flash_stall_cycles_; }

    // ---- snt_host::Port, called by the firmware module
    std::uint32_t read(std::uint32_t address, unsigned size, const void *site) override;
    void write(std::uint32_t address, std::uint32_t value, unsigned size) override;
    void wait_hint(const volatile void *watched) override;

private:
    // Shared with the module, which keeps it on its quiet reads.
    using PollState = snt_host::PollRecord;

    // Deepest nesting of exceptions the core handles.
    static constexpr std::size_t kMaxNesting = 7;

    void boundary();
    void leave_wait();
    void close_quiet();
    void open_quiet();
    void open_quiet_reads();
    void wait_for_change(const volatile std::uint32_t *word);
    void take_interrupts();
    int current_priority() const;
    PollState &poll_state() { return poll_states_[depth_]; }
    void after_read(const void *site, std::uint32_t address, std::uint32_t value);
    void skip_to_next_event();
    // True when the run paused (the fiber yielded and has been resumed).
    bool maybe_pause();
    void stall_while_flash_busy();

    Board &board_;
    Scheduler &sched_;
    std::unique_ptr<FirmwareModule> module_;
    // What the module handed over when it was attached: main, the vectors,
    // the main loop's line flag.
    const snt_host::Firmware *parts_ = nullptr;
    // Where the module makes quiet stores, and keeps the access count.
    snt_host::QuietStores *quiet_ = nullptr;
    // The output latches of GPIOA and GPIOF the quiet stores were last
    // opened on (nullptr: that port's were not), which take what the stores
    // made when they close.
    std::array<std::uint32_t *, 2> quiet_latches_{};

    std::array<int, kMaxNesting> active_{};                // exceptions being handled, innermost last
    std::size_t depth_ = 0;                                // how many of them
    std::array<PollState, kMaxNesting + 1> poll_states_{}; // one per nesting depth
    bool main_loop_waiting_ = false;
    Cycles pause_at_ = 0;
    const std::function<bool()> *done_ = nullptr;
    Cycles flash_stall_cycles_ = 0;
    std::array<HandlerFigures, kExceptionCount> handlers_{};
    std::unique_ptr<CpuFiber> fiber_; // last: it runs code of the module
};

} // namespace sim
