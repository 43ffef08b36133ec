// The flash interface of the STM32F030 and the last page of its flash
// memory (0x08003C00..0x08003FFF), where the device keeps its settings. The
// firmware never erases or programs anything else, so only this page is
// held; erasing any other page takes its time and changes nothing.
//
// Two register windows, as on the chip: the interface's registers at
// 0x40022000 (`regs()`) and the page itself (`page()`). Erase and program
// take effect at their end, in virtual time; until then the page reads as
// before. With a store (board/peripherals/flash_store.h), the page comes
// from it and every erase and program that completes is handed to it before
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

    // Without a store the page lives in memory and starts erased. With one,
    // the page is what the store holds (erased when it holds nothing yet);
    // what its load() throws, the constructor throws.
    explicit Flash(Scheduler &sched, std::unique_ptr<FlashStore> store = nullptr);
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

    // Called right after an erase or program of the page has completed and
    // been handed to the store. Not called for an erase of another page nor for
    // an operation refused with PGERR or WRPRTERR.
    void set_on_operation_done(std::function<void(Operation)> cb) { on_done_ = std::move(cb); }

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
    void write_page(std::uint32_t offset, std::uint32_t value, unsigned size);
    void start(Pending what, Cycles duration);
    void finish();
    bool page_protected() const;
    void write_through();
    void completed(Operation op);

    Scheduler &sched_;
    std::unique_ptr<FlashStore> store_;
    PageData data_;

    std::uint32_t acr_ = 0, sr_ = 0, cr_ = 0, ar_ = 0, wrpr_ = 0xFFFFFFFFu;
    bool key1_seen_ = false, key_fault_ = false;

    Pending pending_ = Pending::None;
    std::uint32_t program_offset_ = 0;
    std::uint16_t program_value_ = 0;
    Scheduler::EventId op_event_ = 0;
    Cycles busy_until_ = 0;

    std::uint64_t erases_ = 0, programs_ = 0, ignored_writes_ = 0;
    std::function<void(Operation)> on_done_;

    Registers regs_{*this};
    Page page_{*this};
};

} // namespace sim
