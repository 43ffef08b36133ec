// The chip image on the board's Cortex-M0 core: the second of the board's
// two CPUs. The core's memory accesses beyond flash and RAM reach the
// board's address map, its interrupts come from the board's NVIC, and
// virtual time advances by the cycles of each instruction and exception, so
// events fall due between instructions.
//
// The image comes from an ELF file, or from the board's flash as a
// bootloader or a rom file left it. An image without its ELF has no symbols:
// the core then takes the first RAM word it finds thread mode polling in a
// loop for the main loop's line flag, which is where this firmware first
// waits (start-up polls only registers), and names addresses in hex.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board/cpu/cortex_m0.h"
#include "board/cpu/cpu.h"
#include "board/cpu/elf_image.h"
#include "board/peripherals/scheduler.h"

namespace sim {

class Board;

// Why a debugger's core came to a halt (board/debug/chip_debug_target.h).
struct CoreHalt {
    enum class Kind {
        Breakpoint, // at one of the debugger's breakpoints, or a BKPT instruction
        Watchpoint, // the core's watch_hit() tells which access
        Stepped,
        Interrupted, // request_halt()
        Fault,       // locked up, or stuck in HardFault_Handler: what stopped the board without a debugger
    };
    Kind kind = Kind::Interrupted;
    std::string why; // for Fault: what happened, as the board would say it
};

class ChipCpu final : public Cpu, CortexM0::Bus, CortexM0::ExceptionSource {
public:
    // Loads the image into the core's flash and resets the core. Throws
    // ImageError when the image does not fit the chip's flash and RAM or
    // lacks what the board needs to know of it.
    ChipCpu(Board &board, ElfImage image);

    // A factory for Board: the chip image on the core.
    static CpuFactory factory(ElfImage image);

    // What the board's flash holds on the core: pages 0 to 14 are copied in
    // (and again whenever they change), RAM holds `ram` (zeros beyond it),
    // and the core starts as from a reset, with its stack pointer and first
    // instruction from the vector table at `vectors` (0x08000000 after a
    // reset, or where a bootloader's Go jumped). `elf` gives the symbols
    // when the flash holds exactly its bytes, and is dropped otherwise.
    ChipCpu(Board &board, std::optional<ElfImage> elf, std::uint32_t vectors, const std::vector<std::uint8_t> &ram);
    static CpuFactory from_flash(std::optional<ElfImage> elf, std::uint32_t vectors = 0x08000000,
                                 std::vector<std::uint8_t> ram = {});
    ~ChipCpu() override;
    ChipCpu(const ChipCpu &) = delete;
    ChipCpu &operator=(const ChipCpu &) = delete;

    // ---- Cpu
    // Runs the image until `done` holds, `until` is reached or the board
    // asks for a pause; true when `done` held.
    bool run_until(const std::function<bool()> &done, Cycles until) override;
    bool waiting_for_line() const override;
    std::optional<std::uint64_t> instructions() const override { return core_.instructions(); }
    HandlerFigures handler(int exception) const override;
    Cycles flash_stall_cycles() const override { return flash_stall_cycles_; }

    CortexM0 &core() { return core_; }
    const CortexM0 &core() const { return core_; }
    // The ELF image whose symbols name the program; throws BoardError when
    // the program came without one.
    const ElfImage &image() const;
    bool has_symbols() const { return image_.has_value(); }
    // The main loop's line flag, from the symbols or as found; 0 while not
    // known.
    std::uint32_t line_flag() const { return rx_byte_f_; }

    // ---- a debugger's control (board/debug/chip_debug_target.h)
    // With a debugger attached, what would stop the board (a BKPT, a lock-up,
    // a chip stuck in HardFault_Handler) halts the core instead, as do the
    // debugger's breakpoints, watchpoints and steps. While halted,
    // run_until() returns at once and no time passes on the board.
    void attach_debugger(bool attached) { debugger_ = attached; }
    bool halted() const { return halted_; }
    // Halts at once (between two calls of run_until) or, from inside one,
    // at the next instruction boundary.
    void request_halt();
    // Lets the halted core go on: it passes a breakpoint it halted at.
    void release();
    // The halt that came since the last call, if one did.
    std::optional<CoreHalt> take_halt();
    // Power-on reset of the core and of what the chip holds around it
    // (the CPU's view of the main loop, a flash stall); the board resets
    // its peripherals itself. A halted core stays halted.
    void reset();

private:
    // CortexM0::Bus
    std::uint32_t read(std::uint32_t address, unsigned size) override;
    void write(std::uint32_t address, std::uint32_t value, unsigned size) override;
    bool quiet_store(std::uint32_t address, std::uint32_t value, unsigned size);
    bool stores_may_be_quiet() const;
    bool hand_to_bus_port(std::uint32_t address, std::uint32_t value);
    void name_quiet_outputs();
    void grant_quiet_outputs();
    bool may_fast_forward(const CortexM0::Bus::LoopSkip &loop) override;
    Cycles batch_over() override;
    Cycles batch_limit() const;
    // CortexM0::ExceptionSource
    int next_to_take(int execution_priority) override;
    int priority_of(int exception) override;
    void activate(int exception) override;
    void deactivate(int exception) override;

    void sync_time();
    void after_access();
    void after_stop(CortexM0::Stop stop);
    void after_debug_stop(CortexM0::Stop stop);
    void skip_idle(Cycles period);
    std::string describe(std::uint32_t address) const;
    void stuck(const std::string &why);
    void halt(CoreHalt halt);
    [[noreturn]] void halted(const std::string &why) const;

    Board &board_;
    std::optional<ElfImage> image_;
    CortexM0 core_;
    bool from_flash_ = false;
    std::uint32_t rx_byte_f_ = 0; // address of the main loop's line flag; 0: not known yet
    bool main_loop_waiting_ = false;
    std::pair<std::uint32_t, std::uint32_t> main_loop_{1, 0}; // its first and last instruction
    bool flash_stall_pending_ = false;
    Cycles flash_started_ = 0;
    Cycles flash_stall_cycles_ = 0;
    const std::function<bool()> *done_ = nullptr; // run_until's, while it runs
    Cycles until_ = 0;                            // run_until's, while it runs

    bool debugger_ = false;
    bool halted_ = false;
    bool halt_requested_ = false;
    std::optional<CoreHalt> halt_;
};

} // namespace sim
