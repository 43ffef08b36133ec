// The STM32F030x6's memory as plain arrays behind BootMemory, with the flash
// model's times and rules: erase and program take effect at their end, a
// half-word is programmed only where it is erased (or to 0x0000), and a
// sector that the write protection loaded at reset covers is left alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <vector>

#include "board/boot/boot_memory.h"
#include "board/peripherals/flash.h"
#include "core/flash/bootloader_protocol.h"

namespace snt_test {

class ChipMemory : public sim::BootMemory {
public:
    std::vector<std::uint8_t> flash = std::vector<std::uint8_t>(snt::boot::kFlashSize, 0xFF);
    std::vector<std::uint8_t> ram = std::vector<std::uint8_t>(snt::boot::kRamSize, 0x00);
    std::vector<std::uint8_t> system = std::vector<std::uint8_t>(snt::boot::kSystemMemorySize, 0xB0);
    std::vector<std::uint8_t> options = {0xAA, 0x55, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                                         0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};
    std::uint8_t wrp_loaded = 0xFF; // WRP0 as loaded at the last reset

    std::vector<unsigned> erased_pages; // in order, a mass erase as every page
    unsigned programs = 0;

    // What a reset does to the option bytes: they take effect.
    void load_options() { wrp_loaded = options[snt::boot::kWrp0Offset]; }

    void read(std::uint32_t address, std::uint8_t *out, std::size_t n) override
    {
        for (std::size_t i = 0; i < n; ++i) out[i] = at(static_cast<std::uint32_t>(address + i));
    }
    void write_ram(std::uint32_t address, const std::uint8_t *data, std::size_t n) override
    {
        std::copy(data, data + n, ram.begin() + (address - snt::boot::kRamBase));
    }
    sim::Cycles start_page_erase(std::uint32_t page_address) override
    {
        pending_ = [this, page_address] { return erase_page((page_address - snt::boot::kFlashBase) / 1024); };
        return sim::Flash::kEraseCycles;
    }
    sim::Cycles start_mass_erase() override
    {
        pending_ = [this] {
            for (unsigned p = 0; p < snt::boot::kPageCount; ++p) erase_page(p);
            return Outcome::Done;
        };
        return sim::Flash::kEraseCycles;
    }
    sim::Cycles start_option_erase() override
    {
        pending_ = [this] {
            std::fill(options.begin(), options.end(), 0xFF);
            return Outcome::Done;
        };
        return sim::Flash::kEraseCycles;
    }
    sim::Cycles start_program(std::uint32_t address, std::uint16_t value) override
    {
        pending_ = [this, address, value] { return program(address, value); };
        return sim::Flash::kProgramCycles;
    }
    Outcome finish() override
    {
        if (!pending_) throw std::logic_error("finish() without an operation");
        const Outcome o = pending_();
        pending_ = nullptr;
        return o;
    }

private:
    std::uint8_t &cell(std::uint32_t a)
    {
        namespace b = snt::boot;
        if (a - b::kFlashBase < b::kFlashSize) return flash[a - b::kFlashBase];
        if (a - b::kRamBase < b::kRamSize) return ram[a - b::kRamBase];
        if (a - b::kSystemMemoryBase < b::kSystemMemorySize) return system[a - b::kSystemMemoryBase];
        if (a - b::kOptionBytesBase < b::kOptionBytesSize) return options[a - b::kOptionBytesBase];
        throw std::out_of_range("the bootloader reached an address it should have refused");
    }
    std::uint8_t at(std::uint32_t a) { return cell(a); }
    bool protected_page(unsigned page) const { return !(wrp_loaded >> (page * 1024 / snt::boot::kSectorSize) & 1); }
    Outcome erase_page(unsigned page)
    {
        if (protected_page(page)) return Outcome::Protected;
        std::fill_n(flash.begin() + std::ptrdiff_t{page} * 1024, 1024, 0xFF);
        erased_pages.push_back(page);
        return Outcome::Done;
    }
    Outcome program(std::uint32_t address, std::uint16_t value)
    {
        const bool in_flash = address - snt::boot::kFlashBase < snt::boot::kFlashSize;
        if (in_flash && protected_page((address - snt::boot::kFlashBase) / 1024)) return Outcome::Protected;
        std::uint8_t &lo = cell(address), &hi = cell(address + 1);
        if ((lo != 0xFF || hi != 0xFF) && value != 0) return Outcome::Failed;
        lo = static_cast<std::uint8_t>(value);
        hi = static_cast<std::uint8_t>(value >> 8);
        ++programs;
        return Outcome::Done;
    }

    std::function<Outcome()> pending_;
};

} // namespace snt_test
