#include "board/boot/flash_boot_memory.h"

#include <algorithm>

#include "board/board.h"
#include "core/flash/bootloader_protocol.h"

namespace sim {

namespace boot = snt::boot;

namespace {

// The flash size register in system memory (RM0360): the size in KB.
constexpr std::uint32_t kFlashSizeRegister = 0x1FFFF7CC;

void put_le(std::vector<std::uint8_t> &mem, std::uint32_t offset, std::uint32_t value, unsigned size)
{
    for (unsigned i = 0; i < size; ++i) mem[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The bootloader's own code is not modelled: its vector table (its stack
// at the top of the RAM it keeps, its entry just after the table) and the
// flash size register are what a host can read that means something.
std::vector<std::uint8_t> system_memory()
{
    std::vector<std::uint8_t> m(boot::kSystemMemorySize, 0x00);
    put_le(m, 0, boot::kRamBase + boot::kBootloaderRamSize, 4);
    put_le(m, 4, boot::kSystemMemoryBase + 0xC1, 4);
    put_le(m, kFlashSizeRegister - boot::kSystemMemoryBase, boot::kFlashSize / 1024, 2);
    return m;
}

std::vector<std::uint8_t> factory_option_bytes()
{
    std::vector<std::uint8_t> o;
    for (std::size_t i = 0; i < boot::kOptionBytesSize / 2; ++i) {
        const std::uint8_t v = i == 0 ? boot::kRdpLevel0 : 0xFF;
        o.push_back(v);
        o.push_back(boot::complement(v));
    }
    return o;
}

bool in(std::uint32_t address, std::uint32_t base, std::uint32_t size) { return address - base < size; }

} // namespace

FlashBootMemory::FlashBootMemory(Board &board)
    : board_(board), ram_(boot::kRamSize, 0x00), system_(system_memory()), options_(factory_option_bytes())
{}

void FlashBootMemory::read(std::uint32_t address, std::uint8_t *out, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const auto a = static_cast<std::uint32_t>(address + i);
        if (in(a, boot::kFlashBase, boot::kFlashSize)) {
            out[i] = board_.flash().byte(a - boot::kFlashBase);
        } else if (in(a, boot::kRamBase, boot::kRamSize)) {
            out[i] = ram_[a - boot::kRamBase];
        } else if (in(a, boot::kSystemMemoryBase, boot::kSystemMemorySize)) {
            out[i] = system_[a - boot::kSystemMemoryBase];
        } else if (in(a, boot::kOptionBytesBase, boot::kOptionBytesSize)) {
            out[i] = options_[a - boot::kOptionBytesBase];
        } else {
            out[i] = 0; // the bootloader checks addresses first: not reached
        }
    }
}

void FlashBootMemory::write_ram(std::uint32_t address, const std::uint8_t *data, std::size_t n)
{
    const std::uint32_t at = address - boot::kRamBase;
    std::copy(data, data + std::min<std::size_t>(n, ram_.size() - std::min<std::size_t>(at, ram_.size())),
              ram_.begin() + at);
}

// ------------------------------------------------------------ program flash

void FlashBootMemory::write_cr(std::uint32_t value) { board_.poke(kFlashBase + Flash::kCr, value); }

void FlashBootMemory::unlock()
{
    if (board_.inspect(kFlashBase + Flash::kCr) & Flash::kLOCK) {
        board_.poke(kFlashBase + Flash::kKeyr, Flash::kKey1);
        board_.poke(kFlashBase + Flash::kKeyr, Flash::kKey2);
    }
}

void FlashBootMemory::lock() { write_cr(Flash::kLOCK); }

Cycles FlashBootMemory::flash_busy_time()
{
    const Flash &flash = board_.flash();
    flash_pending_ = true;
    return flash.busy() ? flash.busy_until() - board_.now() : 0;
}

Cycles FlashBootMemory::start_page_erase(std::uint32_t page_address)
{
    unlock();
    write_cr(Flash::kPER);
    board_.poke(kFlashBase + Flash::kAr, page_address);
    write_cr(Flash::kPER | Flash::kSTRT);
    return flash_busy_time();
}

Cycles FlashBootMemory::start_mass_erase()
{
    unlock();
    write_cr(Flash::kMER);
    write_cr(Flash::kMER | Flash::kSTRT);
    return flash_busy_time();
}

Cycles FlashBootMemory::start_program(std::uint32_t address, std::uint16_t value)
{
    if (in(address, boot::kOptionBytesBase, boot::kOptionBytesSize)) {
        // The low byte is the option, the high one its complement; only an
        // erased pair takes a value.
        options_pending_ = [this, at = address - boot::kOptionBytesBase, value] {
            if (options_[at] != 0xFF || options_[at + 1] != 0xFF) return Outcome::Failed;
            options_[at] = static_cast<std::uint8_t>(value);
            options_[at + 1] = static_cast<std::uint8_t>(value >> 8);
            return Outcome::Done;
        };
        return Flash::kProgramCycles;
    }
    unlock();
    write_cr(Flash::kPG);
    board_.flash().write_memory(address - boot::kFlashBase, value, 2);
    return flash_busy_time();
}

Cycles FlashBootMemory::start_option_erase()
{
    options_pending_ = [this] {
        std::fill(options_.begin(), options_.end(), 0xFF);
        return Outcome::Done;
    };
    return Flash::kEraseCycles;
}

BootMemory::Outcome FlashBootMemory::finish()
{
    if (options_pending_) {
        const Outcome o = options_pending_();
        options_pending_ = nullptr;
        return o;
    }
    if (!flash_pending_) return Outcome::Failed;
    flash_pending_ = false;
    const std::uint32_t sr = board_.inspect(kFlashBase + Flash::kSr);
    board_.poke(kFlashBase + Flash::kSr, Flash::kEOP | Flash::kPGERR | Flash::kWRPRTERR);
    write_cr(0);
    if (sr & Flash::kWRPRTERR) return Outcome::Protected;
    if ((sr & (Flash::kPGERR | Flash::kBSY)) || !(sr & Flash::kEOP)) return Outcome::Failed;
    return Outcome::Done;
}

std::uint32_t FlashBootMemory::write_protection() const
{
    std::uint32_t wrpr = 0;
    for (unsigned i = 0; i < 4; ++i) wrpr |= std::uint32_t{options_[boot::kWrp0Offset + std::size_t{2} * i]} << (8 * i);
    return wrpr;
}

} // namespace sim
