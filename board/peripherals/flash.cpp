#include "board/peripherals/flash.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace {
constexpr std::uint32_t kAcrReset = 0x30; // prefetch buffer enabled, zero wait states
constexpr std::uint32_t kAcrLatency = 0x7, kPRFTBE = 1u << 4, kPRFTBS = 1u << 5;
// Option bytes as they leave the factory: read protection level 0, every
// user option and both data bytes at 1.
constexpr std::uint32_t kObrValue = 0xFFFF7700;
// CR bits software can change once the interface is unlocked. OPTWRE only
// follows the option-byte keys, which the firmware never writes, and
// OBL_LAUNCH would reset the chip: both stay 0 here.
constexpr std::uint32_t kCrWritable =
    Flash::kPG | Flash::kPER | Flash::kMER | Flash::kOPTPG | Flash::kOPTER | Flash::kERRIE | Flash::kEOPIE;
constexpr std::uint32_t kSrClearable = Flash::kPGERR | Flash::kWRPRTERR | Flash::kEOP;
constexpr std::uint32_t kSettingsOffset = Flash::kProgramSize; // the page, from 0x08000000
} // namespace

Flash::Flash(Scheduler &sched, std::unique_ptr<FlashStore> store, Region region)
    : sched_(sched), store_(std::move(store)), region_(region)
{
    program_.fill(0xFF);
    data_.fill(0xFF);
    if (store_ && region_ == Region::SettingsPage) {
        if (!store_->load(data_.data(), data_.size())) data_.fill(0xFF);
    } else if (store_) {
        std::array<std::uint8_t, kMemorySize> all{};
        if (store_->load(all.data(), all.size())) {
            std::copy(all.begin(), all.begin() + kProgramSize, program_.begin());
            std::copy(all.begin() + kProgramSize, all.end(), data_.begin());
        }
    }
    reset_interface();
}

void Flash::defer_store(bool on)
{
    defer_store_ = on;
    if (!on) flush_store();
}

void Flash::flush_store()
{
    if (!store_dirty_) return;
    store_dirty_ = false;
    write_through();
}

void Flash::write_through()
{
    if (!store_) return;
    if (defer_store_) {
        store_dirty_ = true;
        return;
    }
    if (region_ == Region::SettingsPage) return store_->store(data_.data(), data_.size());
    std::array<std::uint8_t, kMemorySize> all{};
    std::copy(program_.begin(), program_.end(), all.begin());
    std::copy(data_.begin(), data_.end(), all.begin() + kProgramSize);
    store_->store(all.data(), all.size());
}

void Flash::load(const PageData &data)
{
    data_ = data;
    write_through();
}

bool Flash::program_erased() const
{
    return std::all_of(program_.begin(), program_.end(), [](std::uint8_t b) { return b == 0xFF; });
}

void Flash::load_program(const std::uint8_t *bytes, std::size_t n)
{
    n = std::min(n, kProgramSize);
    program_.fill(0xFF);
    std::copy(bytes, bytes + n, program_.begin());
    if (region_ == Region::WholeFlash) write_through();
    if (on_program_changed_) on_program_changed_(0, kProgramSize);
}

// ----------------------------------------------------------- operations

void Flash::reset_interface()
{
    // An operation cut short by the reset leaves the page as it was.
    sched_.cancel(op_event_);
    op_event_ = 0;
    pending_ = Pending::None;
    acr_ = kAcrReset;
    sr_ = 0;
    cr_ = kLOCK;
    ar_ = 0;
    key1_seen_ = key_fault_ = false;
}

bool Flash::protected_at(std::uint32_t offset) const { return (wrpr_ >> (offset / kSectorSize) & 1u) == 0; }

void Flash::start(Pending what, Cycles duration)
{
    pending_ = what;
    sr_ |= kBSY;
    busy_until_ = sched_.now() + duration;
    op_event_ = sched_.schedule_at(busy_until_, [this] { finish(); });
}

void Flash::finish()
{
    const Pending what = pending_;
    op_event_ = 0;
    pending_ = Pending::None;
    sr_ &= ~kBSY;
    cr_ &= ~kSTRT;

    switch (what) {
    case Pending::OtherPageErase:
        sr_ |= kEOP; // an address outside flash: nothing to change
        break;
    case Pending::PageErase:
    case Pending::MassErase:
        finish_erase(what);
        break;
    case Pending::Program:
        finish_program();
        break;
    case Pending::None:
        break;
    }
}

void Flash::finish_erase(Pending what)
{
    const bool mass = what == Pending::MassErase;
    const std::uint32_t first = mass ? 0 : erase_offset_;
    const std::size_t n = mass ? kMemorySize : kPageSize;
    // A mass erase is refused whole when any sector is protected.
    for (std::uint32_t at = first; at < first + n; at += kSectorSize) {
        if (protected_at(at)) {
            sr_ |= kWRPRTERR;
            return;
        }
    }
    for (std::uint32_t at = first; at < first + n; ++at) cell(at) = 0xFF;
    sr_ |= kEOP;
    completed(Operation::Erase, first, n);
}

void Flash::finish_program()
{
    if (protected_at(program_offset_)) {
        sr_ |= kWRPRTERR;
        return;
    }
    std::uint8_t &lo = cell(program_offset_), &hi = cell(program_offset_ + 1);
    const std::uint16_t old = static_cast<std::uint16_t>(lo | hi << 8);
    // Only an erased half-word can be programmed, except that 0x0000
    // may be written over anything.
    if (old != 0xFFFF && program_value_ != 0x0000) {
        sr_ |= kPGERR;
        return;
    }
    lo = static_cast<std::uint8_t>(program_value_);
    hi = static_cast<std::uint8_t>(program_value_ >> 8);
    sr_ |= kEOP;
    completed(Operation::Program, program_offset_, 2);
}

void Flash::completed(Operation op, std::uint32_t offset, std::size_t n)
{
    const bool page = offset + n > kSettingsOffset, program = offset < kSettingsOffset;
    if (page) {
        if (op == Operation::Erase) ++erases_;
        if (op == Operation::Program) ++programs_;
    }
    if (page || region_ == Region::WholeFlash) write_through();
    if (program && on_program_changed_) {
        on_program_changed_(offset, std::min<std::size_t>(n, kSettingsOffset - offset));
    }
    if (page && on_done_) on_done_(op);
}

// ------------------------------------------------------------- registers

void Flash::write_key(std::uint32_t value)
{
    if (key_fault_) return; // locked until reset
    if (!locked()) {
        // A key written while unlocked breaks the sequence like a wrong one.
        key_fault_ = true;
        cr_ |= kLOCK;
        return;
    }
    if (!key1_seen_ && value == kKey1) {
        key1_seen_ = true;
    } else if (key1_seen_ && value == kKey2) {
        key1_seen_ = false;
        cr_ &= ~kLOCK;
    } else {
        key1_seen_ = false;
        key_fault_ = true;
    }
}

void Flash::write_cr(std::uint32_t value)
{
    if (locked()) return; // a locked CR takes nothing, and setting LOCK again changes nothing
    cr_ = (cr_ & ~kCrWritable) | (value & kCrWritable);
    if ((value & kSTRT) && !busy()) {
        // STRT starts an erase; it stays set until the erase ends.
        if (cr_ & kMER) {
            cr_ |= kSTRT;
            start(Pending::MassErase, kEraseCycles);
        } else if (cr_ & kPER) {
            cr_ |= kSTRT;
            const bool in_flash = ar_ - kMemoryAddress < kMemorySize;
            erase_offset_ = (ar_ - kMemoryAddress) & ~static_cast<std::uint32_t>(kPageSize - 1);
            start(in_flash ? Pending::PageErase : Pending::OtherPageErase, kEraseCycles);
        }
    }
    if (value & kLOCK) {
        cr_ |= kLOCK; // a running operation still completes
        key1_seen_ = false;
    }
}

bool Flash::read_register(std::uint32_t offset, std::uint32_t &value) const
{
    switch (offset) {
    case kAcr:
        value = acr_;
        return true;
    case kSr:
        value = sr_;
        return true;
    case kCr:
        value = cr_;
        return true;
    case kAr:
        value = ar_;
        return true;
    case kObr:
        value = kObrValue;
        return true;
    case kWrpr:
        value = wrpr_;
        return true;
    case kKeyr:
    case kOptkeyr:
        value = 0; // write-only
        return true;
    default:
        return false;
    }
}

bool Flash::write_register(std::uint32_t offset, std::uint32_t value)
{
    switch (offset) {
    case kAcr:
        // PRFTBS reports the prefetch buffer's state, which follows PRFTBE.
        acr_ = (value & (kAcrLatency | kPRFTBE)) | ((value & kPRFTBE) ? kPRFTBS : 0);
        break;
    case kKeyr:
        write_key(value);
        break;
    case kSr:
        sr_ &= ~(value & kSrClearable);
        break;
    case kCr:
        write_cr(value);
        break;
    case kAr:
        if (!busy()) ar_ = value;
        break;
    case kOptkeyr:
    case kObr:
    case kWrpr:
        break; // option bytes are never written here; OBR and WRPR are read-only
    default:
        return false;
    }
    return true;
}

void Flash::Registers::reset() { flash_.reset_interface(); }
std::uint32_t Flash::Registers::read(std::uint32_t offset, unsigned size)
{
    std::uint32_t value = 0;
    if (!flash_.read_register(offset, value)) return report_unimplemented(offset, size, 0, false);
    return value;
}
void Flash::Registers::write(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    if (!flash_.write_register(offset, value)) report_unimplemented(offset, size, value, true);
}

// ------------------------------------------------------------------ page

std::uint32_t Flash::read_page(std::uint32_t offset, unsigned size) const
{
    std::uint32_t v = 0;
    for (unsigned i = 0; i < size && i < 4; ++i) {
        if (offset + i < kPageSize) v |= std::uint32_t(data_[offset + i]) << (8 * i);
    }
    return v;
}

void Flash::write_memory(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    // Programming takes one half-word at a time with PG alone set; anything
    // else (the chip answers a write of another size with a bus fault) is
    // dropped.
    const bool programming = (cr_ & (kPG | kPER | kMER | kLOCK)) == kPG;
    if (!programming || busy() || size != 2 || (offset & 1) || offset >= kMemorySize) {
        ++ignored_writes_;
        return;
    }
    program_offset_ = offset;
    program_value_ = static_cast<std::uint16_t>(value);
    start(Pending::Program, kProgramCycles);
}

std::uint32_t Flash::Page::read(std::uint32_t offset, unsigned size) { return flash_.read_page(offset, size); }
void Flash::Page::write(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    // Past the page's end, nothing: the window is one page.
    flash_.write_memory(offset < kPageSize ? kSettingsOffset + offset : kMemorySize, value, size);
}

} // namespace sim
