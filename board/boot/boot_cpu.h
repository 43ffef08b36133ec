// The chip after a reset with BOOT0 high: its system-memory bootloader
// runs instead of the program in flash. It sets up USART1 as the chip's
// bootloader does (PA9/PA10, 8 data bits with even parity, automatic baud
// rate detection on the first 0x7F) and answers on it in virtual time,
// reaching flash through the flash model (FlashBootMemory), so erases and
// writes take the model's time and the bootloader stands still meanwhile.
//
// Go puts back the registers of the peripherals it used (USART1, GPIOA, the
// clocks) and starts the program at the address given, on the CPU the
// board's owner makes for it (the chip image on the Cortex-M0 core, from
// what the flash now holds); from then on it is that CPU. A change of the
// option bytes ends in a system reset: with BOOT0 still high, the
// bootloader again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board/boot/flash_boot_memory.h"
#include "board/boot/system_bootloader.h"
#include "board/cpu/cpu.h"

namespace sim {

class BootCpu final : public Cpu {
public:
    // Makes the CPU that runs the program once Go jumped to `vectors`, with
    // RAM as the bootloader left it.
    using ProgramFactory =
        std::function<std::unique_ptr<Cpu>(Board &board, std::uint32_t vectors, const std::vector<std::uint8_t> &ram)>;

    BootCpu(Board &board, ProgramFactory program, BootloaderConfig config = {});
    static CpuFactory factory(ProgramFactory program, BootloaderConfig config = {});

    // ---- Cpu: the bootloader until Go, then the program's CPU
    bool run_until(const std::function<bool()> &done, Cycles until) override;
    // The bootloader waits for a byte with nothing else to do.
    bool waiting_for_line() const override;
    std::optional<std::uint64_t> instructions() const override;
    HandlerFigures handler(int exception) const override;
    Cycles flash_stall_cycles() const override;

    // The program's CPU once Go has started it, or nullptr.
    Cpu *program() { return program_.get(); }
    const SystemBootloader &bootloader() const { return boot_; }
    const FlashBootMemory &memory() const { return memory_; }

    // What the session on the line came to.
    struct Figures {
        std::uint32_t baud = 0;           // as measured on the first 0x7F
        Cycles byte_cycles = 0;           // one byte on the line at that rate
        std::uint64_t bytes_received = 0; // handed to the bootloader
        std::uint64_t bytes_sent = 0;     // its answers
        std::uint64_t line_errors = 0;    // bytes dropped for a parity or framing error
        std::optional<Cycles> first_byte; // the start bit of the first byte taken
        Cycles last_byte = 0;             // the stop bit of the last byte either way
        std::optional<Cycles> started;    // when Go started the program
        std::uint32_t started_at = 0;     // and where
    };
    const Figures &figures() const { return figures_; }

private:
    void reset_chip(Cycles now);
    void set_up_usart();
    void step(Cycles now);
    void take_byte(Cycles now);
    void send_due(Cycles now);
    bool leave(Cycles now);
    bool idle() const;

    Board &board_;
    ProgramFactory make_program_;
    FlashBootMemory memory_;
    SystemBootloader boot_;
    bool started_ = false;
    std::vector<SystemBootloader::TxByte> to_send_;
    std::optional<SystemBootloader::Exit> exit_;
    Figures figures_;
    std::unique_ptr<Cpu> program_;
};

// The bootloader's figures as `name value` lines (boot.*), for --stats.
std::vector<std::pair<std::string, std::string>> boot_statistics(const BootCpu &cpu);

} // namespace sim
