// The chip image on the board's Cortex-M0 core: the second of the board's
// two CPUs. The core's memory accesses beyond flash and RAM reach the
// board's address map, its interrupts come from the board's NVIC, and
// virtual time advances by the cycles of each instruction and exception, so
// events fall due between instructions.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "board/cpu/cortex_m0.h"
#include "board/cpu/cpu.h"
#include "board/cpu/elf_image.h"
#include "board/peripherals/scheduler.h"

namespace sim {

class Board;

class ChipCpu final : public Cpu, CortexM0::Bus, CortexM0::ExceptionSource {
public:
    // Loads the image into the core's flash and resets the core. Throws
    // ImageError when the image does not fit the chip's flash and RAM or
    // lacks what the board needs to know of it.
    ChipCpu(Board &board, ElfImage image);

    // A factory for Board: the chip image on the core.
    static CpuFactory factory(ElfImage image);

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
    const ElfImage &image() const { return image_; }

private:
    // CortexM0::Bus
    std::uint32_t read(std::uint32_t address, unsigned size) override;
    void write(std::uint32_t address, std::uint32_t value, unsigned size) override;
    // CortexM0::ExceptionSource
    int next_to_take(int execution_priority) override;
    int priority_of(int exception) override;
    void activate(int exception) override;
    void deactivate(int exception) override;

    void sync_time();
    void after_stop(CortexM0::Stop stop);
    void skip_idle(Cycles period);
    [[noreturn]] void halted(const std::string &why) const;

    Board &board_;
    ElfImage image_;
    CortexM0 core_;
    std::uint32_t rx_byte_f_ = 0; // address of the main loop's line flag
    bool main_loop_waiting_ = false;
    std::pair<std::uint32_t, std::uint32_t> main_loop_{1, 0}; // its first and last instruction
    bool flash_stall_pending_ = false;
    Cycles flash_started_ = 0;
    Cycles flash_stall_cycles_ = 0;
};

} // namespace sim
