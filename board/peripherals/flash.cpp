#include "board/peripherals/flash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

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

// --------------------------------------------------------------- the file

namespace {

std::string directory_of(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// The file a chain of symbolic links ends at (which need not exist): the
// page is written there, so a link keeps leading to the page.
std::string final_target(const std::string &path)
{
    std::string p = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
        std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        const ssize_t n = ::readlink(p.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return p; // changed meanwhile: stat will tell
        const std::string t(target.data(), static_cast<std::size_t>(n));
        if (t[0] == '/') {
            p = t;
        } else {
            p = directory_of(p);
            p += '/';
            p += t;
        }
    }
    throw PageFileError("settings page file " + path + ": " + std::strerror(ELOOP));
}

} // namespace

void Flash::check_page_file(const std::string &path)
{
    const std::string where = "settings page file " + path;
    if (path.empty()) throw PageFileError("settings page file: an empty path");
    const std::string real = final_target(path);
    const std::string dir = directory_of(real);
    struct stat st {};
    if (::stat(real.c_str(), &st) != 0) {
        if (errno != ENOENT) throw PageFileError(where + ": " + std::strerror(errno));
        // Made by the first erase or program.
        if (::access(dir.c_str(), W_OK | X_OK) != 0) {
            throw PageFileError(where + " cannot be made in " + dir + ": " + std::strerror(errno));
        }
        return;
    }
    if (!S_ISREG(st.st_mode)) throw PageFileError(where + " is not a regular file");
    if (st.st_size != static_cast<off_t>(kPageSize)) {
        throw PageFileError(where + " has " + std::to_string(st.st_size) + " bytes; a flash page has exactly " +
                            std::to_string(kPageSize));
    }
    // A page nobody may write (even one only root could) stays as it is.
    if ((st.st_mode & 0222) == 0) throw PageFileError(where + " is read-only");
    if (::access(real.c_str(), W_OK) != 0) throw PageFileError(where + " is read-only: " + std::strerror(errno));
    // It is replaced by a file written beside it.
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        throw PageFileError(where + " cannot be replaced in " + dir + ": " + std::strerror(errno));
    }
}

Flash::Flash(Scheduler &sched, std::string page_file) : sched_(sched), path_(std::move(page_file))
{
    data_.fill(0xFF);
    if (!path_.empty()) {
        check_page_file(path_);
        real_path_ = final_target(path_);
        const mode_t mask = ::umask(0);
        ::umask(mask);
        new_file_mode_ = 0666 & ~mask;
        const std::string where = "settings page file " + path_;
        // Not blocking on the open: a FIFO put there meanwhile is refused.
        const int fd = ::open(real_path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            struct stat st {};
            std::size_t got = 0;
            int err = 0;
            if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != static_cast<off_t>(kPageSize)) {
                err = EINVAL;
            }
            while (err == 0 && got < kPageSize) {
                const ssize_t n = ::read(fd, data_.data() + got, kPageSize - got);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0)
                    err = n < 0 ? errno : EINVAL;
                else
                    got += static_cast<std::size_t>(n);
            }
            ::close(fd);
            if (err != 0) throw PageFileError(where + " could not be read as one page");
        } else if (errno != ENOENT) {
            throw PageFileError(where + ": " + std::strerror(errno));
        }
    }
    reset_interface();
}

void Flash::write_through()
{
    if (path_.empty()) return;
    // The whole page goes to a new file beside the real one (through any
    // links), which then takes its place: the file holds either the old page
    // or the new one, never a part of either, and keeps its mode and owner.
    const std::string where = "settings page file " + path_;
    struct stat st {};
    const bool exists = ::stat(real_path_.c_str(), &st) == 0;
    std::string temp = directory_of(real_path_) + "/." + name_of(real_path_) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC); // made new, never an existing file or link
    if (fd < 0) throw PageFileError(where + ": cannot make a file beside it: " + std::strerror(errno));
    int err = 0;
    if (::fchmod(fd, exists ? (st.st_mode & 07777) : new_file_mode_) != 0) err = errno;
    if (err == 0 && exists && (st.st_uid != ::geteuid() || st.st_gid != ::getegid())) {
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Only root may give a file away; the page itself is still right.
        }
    }
    std::size_t done = 0;
    while (err == 0 && done < kPageSize) {
        const ssize_t n = ::write(fd, data_.data() + done, kPageSize - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            err = n < 0 ? errno : EIO;
        else
            done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(temp.c_str(), real_path_.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        throw PageFileError(where + " could not be written: " + std::strerror(err));
    }
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
