#include "board/peripherals/flash.h"

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
// The page is the last of sector 3 (pages 12 to 15).
constexpr std::uint32_t kPageSectorBit = 1u << 3;
} // namespace

Flash::Flash(Scheduler &sched, std::unique_ptr<FlashStore> store) : sched_(sched), store_(std::move(store))
{
    data_.fill(0xFF);
    if (store_ && !store_->load(data_.data(), data_.size())) data_.fill(0xFF);
    reset_interface();
}

void Flash::write_through()
{
    if (store_) store_->store(data_.data(), data_.size());
}

void Flash::load(const PageData &data)
{
    data_ = data;
    write_through();
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

bool Flash::page_protected() const { return (wrpr_ & kPageSectorBit) == 0; }

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
        sr_ |= kEOP; // a page this board does not hold: nothing to change
        break;
    case Pending::PageErase:
    case Pending::MassErase:
        if (page_protected()) {
            sr_ |= kWRPRTERR;
            break;
        }
        data_.fill(0xFF);
        ++erases_;
        sr_ |= kEOP;
        completed(Operation::Erase);
        break;
    case Pending::Program: {
        if (page_protected()) {
            sr_ |= kWRPRTERR;
            break;
        }
        const std::uint16_t old = static_cast<std::uint16_t>(data_[program_offset_] | data_[program_offset_ + 1] << 8);
        // Only an erased half-word can be programmed, except that 0x0000
        // may be written over anything.
        if (old != 0xFFFF && program_value_ != 0x0000) {
            sr_ |= kPGERR;
            break;
        }
        data_[program_offset_] = static_cast<std::uint8_t>(program_value_);
        data_[program_offset_ + 1] = static_cast<std::uint8_t>(program_value_ >> 8);
        ++programs_;
        sr_ |= kEOP;
        completed(Operation::Program);
        break;
    }
    case Pending::None:
        break;
    }
}

void Flash::completed(Operation op)
{
    write_through();
    if (on_done_) on_done_(op);
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
            const bool ours = ar_ - kPageAddress < kPageSize;
            start(ours ? Pending::PageErase : Pending::OtherPageErase, kEraseCycles);
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

void Flash::write_page(std::uint32_t offset, std::uint32_t value, unsigned size)
{
    // Programming takes one half-word at a time with PG alone set; anything
    // else (the chip answers a write of another size with a bus fault) is
    // dropped.
    const bool programming = (cr_ & (kPG | kPER | kMER | kLOCK)) == kPG;
    if (!programming || busy() || size != 2 || (offset & 1) || offset >= kPageSize) {
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
    flash_.write_page(offset, value, size);
}

} // namespace sim
