// The flash interface of the STM32F030 and its 16 KB of program flash: the
// image in pages 0 to 14 and, in the last page (0x08003C00..0x08003FFF),
// the device's settings.
//
// Two register windows, as on the chip: the interface's registers at
// 0x40022000 (`regs()`) and the settings page (`page()`), which is all of
// flash the firmware reads through the board's map (a CPU fetches the image
// from its own copy, made from memory() when it starts). Page erase, mass
// erase and half-word programming reach all 16 KB: the firmware only ever
// changes the settings page, the system bootloader (board/boot) the rest,
// through the same registers and write_memory(). Erase and program take
// effect at their end, in virtual time; until then the flash reads as
// before. With a store (board/peripherals/flash_store.h), the region it
// covers (the settings page, or the whole flash) comes from it, and every
// erase and program of that region that completes is handed to it before
// anything else happens, so a store that keeps what it is given holds what
// the chip would hold at any point.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "board/peripherals/flash_store.h"
#include "board/peripherals/memory_map.h"
#include "board/peripherals/peripheral.h"
#include "board/peripherals/scheduler.h"

namespace sim {

class Flash {
public:
    static constexpr std::uint32_t kRegistersAddress = kFlashBase;
    static constexpr std::uint32_t kPageAddress = kSettingsPageBase;
    static constexpr std::size_t kPageSize = 1024;
    using PageData = std::array<std::uint8_t, kPageSize>;
    // The whole program flash, from 0x08000000, and the image's part of it
    // below the settings page.
    static constexpr std::uint32_t kMemoryAddress = kFlashMemoryBase;
    static constexpr std::size_t kMemorySize = kFlashMemorySize;
    static constexpr std::size_t kProgramSize = kSettingsPageBase - kFlashMemoryBase;
    static constexpr std::size_t kSectorSize = 4096; // the unit of write protection

    // Register offsets
    static constexpr std::uint32_t kAcr = 0x00, kKeyr = 0x04, kOptkeyr = 0x08, kSr = 0x0C, kCr = 0x10, kAr = 0x14,
                                   kObr = 0x1C, kWrpr = 0x20;
    // The unlock sequence written to KEYR
    static constexpr std::uint32_t kKey1 = 0x45670123, kKey2 = 0xCDEF89AB;
    // SR bits
    static constexpr std::uint32_t kBSY = 1u << 0, kPGERR = 1u << 2, kWRPRTERR = 1u << 4, kEOP = 1u << 5;
    // CR bits
    static constexpr std::uint32_t kPG = 1u << 0, kPER = 1u << 1, kMER = 1u << 2, kOPTPG = 1u << 4, kOPTER = 1u << 5,
                                   kSTRT = 1u << 6, kLOCK = 1u << 7, kOPTWRE = 1u << 9, kERRIE = 1u << 10,
                                   kEOPIE = 1u << 12, kOBL_LAUNCH = 1u << 13;

    // How long the interface stays busy. The datasheet gives 20 to 40 ms for
    // a page or mass erase (no typical figure) and 40 to 60 us, typically
    // 53.5 us, for a half-word. Code and vectors live in flash, so the core
    // stalls for the whole of it: no instruction and no interrupt runs.
    static constexpr Cycles kEraseCycles = 30 * kCoreHz / 1000;          // 30 ms
    static constexpr Cycles kProgramCycles = 535 * kCoreHz / 10'000'000; // 53.5 us

    enum class Operation { Erase, Program };
    // What a store keeps: the settings page (1 KB) or all of flash (16 KB).
    enum class Region { SettingsPage, WholeFlash };

    // Without a store the flash lives in memory and starts erased. With
    // one, its region is what the store holds (erased when it holds nothing
    // yet) and the rest starts erased; what its load() throws, the
    // constructor throws.
    explicit Flash(Scheduler &sched, std::unique_ptr<FlashStore> store = nullptr, Region region = Region::SettingsPage);
    Flash(const Flash &) = delete;
    Flash &operator=(const Flash &) = delete;

    // ---- the two register windows
    class Registers : public Peripheral {
    public:
        explicit Registers(Flash &flash) : flash_(flash) {}
        std::string name() const override { return "FLASH"; }
        void reset() override;
        std::uint32_t read(std::uint32_t offset, unsigned size) override;
        void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;

    private:
        Flash &flash_;
    };
    class Page : public Peripheral {
    public:
        explicit Page(Flash &flash) : flash_(flash) {}
        std::string name() const override { return "FLASH page"; }
        void reset() override {} // the content survives a reset
        std::uint32_t read(std::uint32_t offset, unsigned size) override;
        void write(std::uint32_t offset, std::uint32_t value, unsigned size) override;

    private:
        Flash &flash_;
    };
    Registers &regs() { return regs_; }
    Page &page() { return page_; }

    // ---- the page content, for tests and tools
    const PageData &contents() const { return data_; }
    // Replaces the content (handed to the store, if there is one).
    void load(const PageData &data);

    // ---- all of flash
    // The byte at `offset` from 0x08000000 (below kMemorySize).
    std::uint8_t byte(std::uint32_t offset) const
    {
        return offset < kProgramSize ? program_[offset] : data_[offset - kProgramSize];
    }
    // Pages 0 to 14, the image's part: kProgramSize bytes.
    const std::uint8_t *program() const { return program_.data(); }
    // True when pages 0 to 14 are all erased: no image.
    bool program_erased() const;
    // Puts `n` bytes (at most kProgramSize) of an image at the start of flash
    // and erases the rest of pages 0 to 14, as a programmer would, leaving
    // the settings page alone; handed to a whole-flash store.
    void load_program(const std::uint8_t *bytes, std::size_t n);
    // A write to program flash at `offset` from 0x08000000, as the bus makes
    // it: a half-word with PG set programs it, anything else is dropped
    // (counted in ignored_writes()).
    void write_memory(std::uint32_t offset, std::uint32_t value, unsigned size);

    // Called right after an erase or program of the page has completed and
    // been handed to the store. Not called for an erase of another page nor for
    // an operation refused with PGERR or WRPRTERR.
    void set_on_operation_done(std::function<void(Operation)> cb) { on_done_ = std::move(cb); }
    // Called right after an erase or program has changed pages 0 to 14 (and
    // been handed to a whole-flash store), with the offset and length that
    // changed: a CPU that fetches from a copy of the image takes it again.
    void set_on_program_changed(std::function<void(std::uint32_t offset, std::size_t n)> cb)
    {
        on_program_changed_ = std::move(cb);
    }

    // While deferred, what completes is handed to the store only at
    // flush_store() (and when deferring ends): a bootloader programs a
    // block half-word by half-word and flushes before it acknowledges it,
    // so the store holds everything a host was told is written, without
    // replacing a whole-flash file for every half-word.
    void defer_store(bool on);
    void flush_store();

    // ---- state and statistics
    bool locked() const { return cr_ & kLOCK; }
    bool busy() const { return sr_ & kBSY; }
    // When the operation under way ends; only meaningful while busy().
    Cycles busy_until() const { return busy_until_; }
    std::uint32_t sr() const { return sr_; }
    std::uint32_t cr() const { return cr_; }
    // A wrong key was written: the interface stays locked until reset (the
    // chip also raises a bus fault, which is not modelled).
    bool key_fault() const { return key_fault_; }
    // Completed erases of the page (page or mass erase) and programs of one
    // of its half-words.
    std::uint64_t erases() const { return erases_; }
    std::uint64_t programs() const { return programs_; }
    // Writes to the page that programmed nothing: without PG, while locked,
    // while busy, not a half-word, or not aligned.
    std::uint64_t ignored_writes() const { return ignored_writes_; }

    // The write protection loaded from the option bytes at reset (WRPR; a 0
    // bit protects a 4 KB sector). Erased option bytes protect nothing.
    void set_write_protection(std::uint32_t wrpr) { wrpr_ = wrpr; }

private:
    enum class Pending { None, PageErase, OtherPageErase, MassErase, Program };

    void reset_interface();
    // Both false for an offset the interface does not implement.
    bool read_register(std::uint32_t offset, std::uint32_t &value) const;
    bool write_register(std::uint32_t offset, std::uint32_t value);
    void write_key(std::uint32_t value);
    void write_cr(std::uint32_t value);
    std::uint32_t read_page(std::uint32_t offset, unsigned size) const;
    void start(Pending what, Cycles duration);
    void finish();
    void finish_erase(Pending what);
    void finish_program();
    bool protected_at(std::uint32_t offset) const;
    std::uint8_t &cell(std::uint32_t offset)
    {
        return offset < kProgramSize ? program_[offset] : data_[offset - kProgramSize];
    }
    void write_through();
    // The bytes at [offset, offset + n) have changed.
    void completed(Operation op, std::uint32_t offset, std::size_t n);

    Scheduler &sched_;
    std::unique_ptr<FlashStore> store_;
    Region region_;
    std::array<std::uint8_t, kProgramSize> program_;
    PageData data_;

    std::uint32_t acr_ = 0, sr_ = 0, cr_ = 0, ar_ = 0, wrpr_ = 0xFFFFFFFFu;
    bool key1_seen_ = false, key_fault_ = false;
    bool defer_store_ = false, store_dirty_ = false;

    Pending pending_ = Pending::None;
    std::uint32_t erase_offset_ = 0;   // the page being erased, from 0x08000000
    std::uint32_t program_offset_ = 0; // the half-word being programmed, from 0x08000000
    std::uint16_t program_value_ = 0;
    Scheduler::EventId op_event_ = 0;
    Cycles busy_until_ = 0;

    std::uint64_t erases_ = 0, programs_ = 0, ignored_writes_ = 0;
    std::function<void(Operation)> on_done_;
    std::function<void(std::uint32_t, std::size_t)> on_program_changed_;

    Registers regs_{*this};
    Page page_{*this};
};

} // namespace sim
