// What the system-memory bootloader reaches of the chip. The bootloader
// checks every address against the chip's memory map before it calls
// anything here, so an implementation is only asked for what exists.
//
// Flash operations take time: each start_...() begins one at the moment it
// is called and returns how long it takes; the bootloader waits that long,
// then asks finish() for the outcome before it starts the next. On the board
// this sits on the flash model, whose operations stall the chip for exactly
// that time; in a test it can be plain arrays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "board/peripherals/scheduler.h"

namespace sim {

class BootMemory {
public:
    enum class Outcome {
        Done,
        Protected, // a write-protected sector: nothing changed, and the bootloader says nothing
        Failed,    // the flash refused (a half-word programmed that was not erased)
    };

    virtual ~BootMemory() = default;

    // Copies `n` bytes from `address` (program flash, RAM, system memory or
    // option bytes) into `out`.
    virtual void read(std::uint32_t address, std::uint8_t *out, std::size_t n) = 0;
    // Writes RAM; takes no time.
    virtual void write_ram(std::uint32_t address, const std::uint8_t *data, std::size_t n) = 0;

    // Erases the 1 KB page at `page_address` (in program flash).
    virtual Cycles start_page_erase(std::uint32_t page_address) = 0;
    // Erases all of program flash.
    virtual Cycles start_mass_erase() = 0;
    // Erases the option bytes (all to 0xFF); they take effect at the next reset.
    virtual Cycles start_option_erase() = 0;
    // Programs the half-word at `address`, in program flash or the option
    // bytes (there the low byte is the option, the high one its complement).
    virtual Cycles start_program(std::uint32_t address, std::uint16_t value) = 0;
    // The outcome of the operation started last, once its time has passed.
    virtual Outcome finish() = 0;
};

} // namespace sim
