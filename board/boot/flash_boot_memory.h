// What the system-memory bootloader reaches of the board: program flash
// through the flash model's own registers (the keys, page and mass erase,
// half-word programming with PG), so every erase and write takes the
// model's time, is refused where the model refuses it and reaches the
// model's store; RAM, a system memory and the option bytes, which the board
// does not keep elsewhere, held here.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "board/boot/boot_memory.h"

namespace sim {

class Board;

class FlashBootMemory final : public BootMemory {
public:
    // The option bytes start as the factory leaves them: no read or write
    // protection.
    explicit FlashBootMemory(Board &board);

    void read(std::uint32_t address, std::uint8_t *out, std::size_t n) override;
    void write_ram(std::uint32_t address, const std::uint8_t *data, std::size_t n) override;
    Cycles start_page_erase(std::uint32_t page_address) override;
    Cycles start_mass_erase() override;
    Cycles start_option_erase() override;
    Cycles start_program(std::uint32_t address, std::uint16_t value) override;
    Outcome finish() override;

    // RAM as the bootloader leaves it, 4 KB from 0x20000000.
    const std::vector<std::uint8_t> &ram() const { return ram_; }
    const std::vector<std::uint8_t> &option_bytes() const { return options_; }
    // The write protection the option bytes give (the flash model's WRPR: a
    // 0 bit protects a 4 KB sector), as a reset loads it.
    std::uint32_t write_protection() const;
    // Locks the flash interface again, as the bootloader does before it
    // leaves.
    void lock();

private:
    void unlock();
    Cycles flash_busy_time();
    void write_cr(std::uint32_t value);

    Board &board_;
    std::vector<std::uint8_t> ram_, system_, options_;
    bool flash_pending_ = false;
    std::function<Outcome()> options_pending_;
};

} // namespace sim
