#include "board/boot/system_bootloader.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace boot = snt::boot;
using boot::Command;
using boot::complement;

namespace {

// The chip's memory, as far as the bootloader reaches it.
struct Area {
    std::uint32_t base, size;
    bool holds(std::uint32_t a) const { return a - base < size; }
    std::uint64_t end() const { return std::uint64_t{base} + size; }
};
constexpr Area kFlash{boot::kFlashBase, boot::kFlashSize};
constexpr Area kRam{boot::kRamBase, boot::kRamSize};
constexpr Area kUserRam{boot::kRamBase + boot::kBootloaderRamSize, boot::kRamSize - boot::kBootloaderRamSize};
constexpr Area kSystemMemory{boot::kSystemMemoryBase, boot::kSystemMemorySize};
constexpr Area kOptionBytes{boot::kOptionBytesBase, boot::kOptionBytesSize};

// Where Read Memory may read from `address` on: the end of its area, or 0.
std::uint64_t readable_end(std::uint32_t address)
{
    for (const Area &a : {kFlash, kRam, kSystemMemory, kOptionBytes}) {
        if (a.holds(address)) return a.end();
    }
    return 0;
}

// Option bytes as they leave the factory: level 0, nothing protected.
std::vector<std::uint8_t> factory_options()
{
    std::vector<std::uint8_t> o;
    for (std::size_t i = 0; i < boot::kOptionBytesSize / 2; ++i) {
        const std::uint8_t v = i == 0 ? boot::kRdpLevel0 : 0xFF;
        o.push_back(v);
        o.push_back(complement(v));
    }
    return o;
}

constexpr std::uint8_t kRdpLevel2 = 0xCC;
constexpr std::uint8_t kRdpLevel1 = 0xBB; // any value but 0xAA and 0xCC

std::uint32_t big_endian(const std::uint8_t *p, std::size_t n)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

} // namespace

SystemBootloader::SystemBootloader(BootMemory &memory, BootloaderConfig config) : memory_(memory), config_(config)
{
    reset(0);
}

void SystemBootloader::reset(Cycles now)
{
    const std::vector<std::uint8_t> options = option_bytes();
    read_protected_ = options[boot::kRdpOffset] != boot::kRdpLevel0;
    // At level 2 the chip never starts its bootloader.
    state_ = options[boot::kRdpOffset] == kRdpLevel2 ? State::Exited : State::WaitSync;
    frame_.clear();
    ops_.clear();
    held_.reset();
    exit_.reset();
    tx_free_ = cpu_free_ = now;
}

// ------------------------------------------------------------- the line

void SystemBootloader::receive(std::uint8_t byte, Cycles now)
{
    advance(now);
    if (state_ == State::Exited) return;
    if (state_ == State::Flash || now < cpu_free_) {
        // Not reading the receiver: it holds one byte; the next one overruns.
        if (held_)
            ++overruns_;
        else
            held_ = byte;
        return;
    }
    take(byte, now);
}

void SystemBootloader::advance(Cycles now)
{
    for (;;) {
        if (state_ == State::Flash && op_end_ <= now) {
            complete_op();
        } else if (held_ && state_ != State::Flash && state_ != State::Exited && cpu_free_ <= now) {
            const std::uint8_t b = *held_;
            held_.reset();
            take(b, cpu_free_);
        } else {
            break;
        }
    }
}

std::optional<Cycles> SystemBootloader::next_wake() const
{
    if (state_ == State::Flash) return op_end_;
    if (held_ && state_ != State::Exited) return cpu_free_;
    return std::nullopt;
}

std::vector<SystemBootloader::TxByte> SystemBootloader::take_replies() { return std::exchange(replies_, {}); }
std::optional<SystemBootloader::Exit> SystemBootloader::take_exit() { return std::exchange(exit_, std::nullopt); }

void SystemBootloader::emit(std::uint8_t byte, Cycles now)
{
    const Cycles start = std::max(now, tx_free_);
    tx_free_ = start + config_.byte_cycles;
    // The byte is handed to the transmitter as the one before starts out.
    cpu_free_ = std::max(cpu_free_, start);
    replies_.push_back({byte, start});
}

void SystemBootloader::emit(const std::vector<std::uint8_t> &bytes, Cycles now)
{
    for (const std::uint8_t b : bytes) emit(b, now);
}

void SystemBootloader::nack(Cycles now)
{
    emit(boot::kNack, now);
    state_ = State::Command;
}

void SystemBootloader::leave(Exit::Kind kind, std::uint32_t address)
{
    exit_ = Exit{kind, address, tx_free_};
    state_ = State::Exited;
    held_.reset();
}

void SystemBootloader::collect(std::size_t n, Handler then)
{
    frame_.clear();
    want_ = n;
    then_ = then;
    state_ = State::Collect;
}

void SystemBootloader::take(std::uint8_t byte, Cycles now)
{
    switch (state_) {
    case State::WaitSync:
        // The first 0x7F sets the baud rate; nothing else counts before it.
        if (byte == boot::kSync) {
            state_ = State::Command;
            ack(now);
        }
        return;
    case State::Command:
        if (byte == boot::kSync) return nack(now); // synchronised already
        code_ = byte;
        state_ = State::Complement;
        return;
    case State::Complement:
        if (byte != complement(code_)) return nack(now);
        state_ = State::Command;
        return command(code_, now);
    case State::Collect:
        frame_.push_back(byte);
        if (frame_.size() == want_) {
            state_ = State::Command;
            (this->*then_)(now);
        }
        return;
    case State::Flash:
    case State::Exited:
        return;
    }
}

// -------------------------------------------------------------- commands

void SystemBootloader::command(std::uint8_t code, Cycles now)
{
    const auto c = static_cast<Command>(code);
    const bool reaches_memory = c == Command::ReadMemory || c == Command::Go || c == Command::WriteMemory ||
        c == Command::ExtendedErase || c == Command::Erase || c == Command::WriteProtect ||
        c == Command::WriteUnprotect || c == Command::ReadoutProtect;
    const bool offered = config_.legacy_erase ? c != Command::ExtendedErase : c != Command::Erase;
    if (!offered || (reaches_memory && read_protected_)) return nack(now);
    std::vector<std::uint8_t> options;
    switch (c) {
    case Command::Get:
        return get(now);
    case Command::GetVersion:
        return emit({boot::kAck, boot::kProtocolVersion, 0x00, 0x00, boot::kAck}, now);
    case Command::GetId:
        return emit({boot::kAck, 0x01, std::uint8_t(config_.chip_id >> 8), std::uint8_t(config_.chip_id), boot::kAck},
                    now);
    case Command::ReadMemory:
        ack(now);
        return collect(5, &SystemBootloader::read_address);
    case Command::Go:
        ack(now);
        return collect(5, &SystemBootloader::go_address);
    case Command::WriteMemory:
        ack(now);
        return collect(5, &SystemBootloader::write_address);
    case Command::ExtendedErase:
        ack(now);
        return collect(2, &SystemBootloader::erase_count);
    case Command::Erase:
        ack(now);
        return collect(1, &SystemBootloader::legacy_erase_count);
    case Command::WriteProtect:
        ack(now);
        return collect(1, &SystemBootloader::protect_count);
    case Command::WriteUnprotect:
        ack(now);
        options = option_bytes();
        for (std::size_t i = boot::kWrp0Offset; i < options.size(); i += 2) {
            options[i] = 0xFF;
            options[i + 1] = 0x00;
        }
        return write_options(std::move(options), {}, now);
    case Command::ReadoutProtect:
        ack(now);
        options = option_bytes();
        options[boot::kRdpOffset] = kRdpLevel1;
        options[boot::kRdpOffset + 1] = complement(kRdpLevel1);
        return write_options(std::move(options), {}, now);
    case Command::ReadoutUnprotect:
        // Level 0 again, and everything the protection kept is erased.
        ack(now);
        return write_options(factory_options(), {{FlashOp::Kind::MassErase}}, now);
    }
    nack(now);
}

void SystemBootloader::get(Cycles now)
{
    const std::uint8_t erase = boot::code(config_.legacy_erase ? Command::Erase : Command::ExtendedErase);
    std::vector<std::uint8_t> r{boot::kAck, 0, boot::kProtocolVersion};
    for (const Command c :
         {Command::Get, Command::GetVersion, Command::GetId, Command::ReadMemory, Command::Go, Command::WriteMemory}) {
        r.push_back(boot::code(c));
    }
    r.push_back(erase);
    for (const Command c :
         {Command::WriteProtect, Command::WriteUnprotect, Command::ReadoutProtect, Command::ReadoutUnprotect}) {
        r.push_back(boot::code(c));
    }
    r[1] = static_cast<std::uint8_t>(r.size() - 3); // bytes that follow, less one
    r.push_back(boot::kAck);
    emit(r, now);
}

bool SystemBootloader::check_address(Cycles now)
{
    if (boot::xor_of(frame_.data(), 4) != frame_[4]) {
        nack(now);
        return false;
    }
    address_ = big_endian(frame_.data(), 4);
    return true;
}

void SystemBootloader::read_address(Cycles now)
{
    if (!check_address(now)) return;
    if (readable_end(address_) == 0) return nack(now);
    ack(now);
    collect(2, &SystemBootloader::read_count);
}

void SystemBootloader::read_count(Cycles now)
{
    const std::size_t n = std::size_t{frame_[0]} + 1;
    if (frame_[1] != complement(frame_[0]) || address_ + n > readable_end(address_)) return nack(now);
    std::vector<std::uint8_t> data(n + 1);
    data[0] = boot::kAck;
    memory_.read(address_, data.data() + 1, n);
    emit(data, now);
}

void SystemBootloader::go_address(Cycles now)
{
    if (!check_address(now)) return;
    if (!kFlash.holds(address_) && !kRam.holds(address_)) return nack(now);
    ack(now);
    leave(Exit::Kind::Go, address_);
}

void SystemBootloader::write_address(Cycles now)
{
    if (!check_address(now)) return;
    // Program flash in whole words, RAM above the bootloader's own, and the
    // option bytes from their start.
    const bool ok =
        (kFlash.holds(address_) && address_ % 4 == 0) || kUserRam.holds(address_) || address_ == kOptionBytes.base;
    if (!ok) return nack(now);
    ack(now);
    collect(1, &SystemBootloader::write_count);
}

void SystemBootloader::write_count(Cycles)
{
    count_ = frame_[0];
    collect(std::size_t{count_} + 2, &SystemBootloader::write_data);
}

void SystemBootloader::write_data(Cycles now)
{
    const std::size_t n = std::size_t{count_} + 1;
    if (boot::xor_of(frame_.data(), n, static_cast<std::uint8_t>(count_)) != frame_[n]) return nack(now);
    const std::uint64_t end = std::uint64_t{address_} + n;
    if (kUserRam.holds(address_)) {
        if (end > kUserRam.end()) return nack(now);
        memory_.write_ram(address_, frame_.data(), n);
        return ack(now);
    }
    std::vector<FlashOp> ops;
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        ops.push_back({FlashOp::Kind::Program, static_cast<std::uint32_t>(address_ + i),
                       static_cast<std::uint16_t>(frame_[i] | frame_[i + 1] << 8)});
    }
    if (address_ == kOptionBytes.base) {
        if (n % 2 != 0 || end > kOptionBytes.end()) return nack(now);
        // All option bytes are erased first; those not given stay erased.
        std::vector<std::uint8_t> options(boot::kOptionBytesSize, 0xFF);
        std::copy(frame_.begin(), frame_.begin() + static_cast<std::ptrdiff_t>(n), options.begin());
        return write_options(std::move(options), {}, now);
    }
    if (n % 4 != 0 || end > kFlash.end()) return nack(now);
    run(std::move(ops), &SystemBootloader::flash_done, now);
}

void SystemBootloader::erase_count(Cycles now)
{
    count_ = static_cast<std::uint16_t>(big_endian(frame_.data(), 2));
    if (count_ >= boot::kFirstReservedCount) return collect(1, &SystemBootloader::erase_special);
    if (std::size_t{count_} + 1 > boot::kPageCount) return nack(now); // more pages than the chip has
    collect(2 * (std::size_t{count_} + 1) + 1, &SystemBootloader::erase_pages);
}

void SystemBootloader::erase_special(Cycles now)
{
    // Mass erase only: this chip has a single bank, and the rest is reserved.
    const std::uint8_t checksum = static_cast<std::uint8_t>((count_ >> 8) ^ (count_ & 0xFF));
    if (frame_[0] != checksum || count_ != boot::kMassErase) return nack(now);
    run({{FlashOp::Kind::MassErase}}, &SystemBootloader::flash_done, now);
}

void SystemBootloader::erase_pages(Cycles now)
{
    const std::size_t n = frame_.size() - 1;
    const auto seed = static_cast<std::uint8_t>((count_ >> 8) ^ (count_ & 0xFF));
    if (boot::xor_of(frame_.data(), n, seed) != frame_[n]) return nack(now);
    std::vector<FlashOp> ops;
    for (std::size_t i = 0; i < n; i += 2) {
        const std::uint32_t page = big_endian(frame_.data() + i, 2);
        if (page >= boot::kPageCount) return nack(now);
        ops.push_back({FlashOp::Kind::PageErase, boot::kFlashBase + page * boot::kPageSize});
    }
    run(std::move(ops), &SystemBootloader::flash_done, now);
}

void SystemBootloader::legacy_erase_count(Cycles now)
{
    if (frame_[0] == boot::kLegacyMassErase) {
        count_ = boot::kMassErase; // its checksum, 0x00, is that of 0xFFFF
        return collect(1, &SystemBootloader::erase_special);
    }
    count_ = frame_[0];
    if (std::size_t{count_} + 1 > boot::kPageCount) return nack(now);
    collect(std::size_t{count_} + 2, &SystemBootloader::legacy_erase_pages);
}

void SystemBootloader::legacy_erase_pages(Cycles now)
{
    const std::size_t n = frame_.size() - 1;
    if (boot::xor_of(frame_.data(), n, static_cast<std::uint8_t>(count_)) != frame_[n]) return nack(now);
    std::vector<FlashOp> ops;
    for (std::size_t i = 0; i < n; ++i) {
        if (frame_[i] >= boot::kPageCount) return nack(now);
        ops.push_back({FlashOp::Kind::PageErase, boot::kFlashBase + frame_[i] * boot::kPageSize});
    }
    run(std::move(ops), &SystemBootloader::flash_done, now);
}

void SystemBootloader::protect_count(Cycles)
{
    count_ = frame_[0];
    collect(std::size_t{count_} + 2, &SystemBootloader::protect_sectors);
}

void SystemBootloader::protect_sectors(Cycles now)
{
    const std::size_t n = frame_.size() - 1;
    if (boot::xor_of(frame_.data(), n, static_cast<std::uint8_t>(count_)) != frame_[n]) return nack(now);
    std::vector<std::uint8_t> options = option_bytes();
    std::uint8_t wrp = options[boot::kWrp0Offset];
    for (std::size_t i = 0; i < n; ++i) {
        if (frame_[i] >= boot::kSectorCount) return nack(now);
        wrp &= static_cast<std::uint8_t>(~(1u << frame_[i])); // a 0 bit protects its sector
    }
    options[boot::kWrp0Offset] = wrp;
    options[boot::kWrp0Offset + 1] = complement(wrp);
    write_options(std::move(options), {}, now);
}

// --------------------------------------------------------- flash and options

void SystemBootloader::write_options(std::vector<std::uint8_t> options, std::vector<FlashOp> before, Cycles now)
{
    before.push_back({FlashOp::Kind::OptionErase});
    for (std::size_t i = 0; i + 1 < options.size(); i += 2) {
        // Erased pairs stay erased.
        if (options[i] == 0xFF && options[i + 1] == 0xFF) continue;
        before.push_back({FlashOp::Kind::Program, static_cast<std::uint32_t>(kOptionBytes.base + i),
                          static_cast<std::uint16_t>(options[i] | options[i + 1] << 8)});
    }
    run(std::move(before), &SystemBootloader::options_done, now);
}

std::vector<std::uint8_t> SystemBootloader::option_bytes()
{
    std::vector<std::uint8_t> o(boot::kOptionBytesSize);
    memory_.read(kOptionBytes.base, o.data(), o.size());
    return o;
}

void SystemBootloader::run(std::vector<FlashOp> ops, Done then, Cycles now)
{
    ops_ = std::move(ops);
    op_ = 0;
    ops_ok_ = true;
    ops_done_ = then;
    if (ops_.empty()) return (this->*then)(true, now);
    start_op(now);
}

void SystemBootloader::start_op(Cycles now)
{
    const FlashOp &op = ops_[op_];
    Cycles d = 0;
    switch (op.kind) {
    case FlashOp::Kind::PageErase:
        d = memory_.start_page_erase(op.address);
        break;
    case FlashOp::Kind::MassErase:
        d = memory_.start_mass_erase();
        break;
    case FlashOp::Kind::OptionErase:
        d = memory_.start_option_erase();
        break;
    case FlashOp::Kind::Program:
        d = memory_.start_program(op.address, op.value);
        break;
    }
    flash_cycles_ += d;
    op_end_ = now + d;
    state_ = State::Flash;
}

void SystemBootloader::complete_op()
{
    // A write-protected sector is skipped without a word, as on the chip.
    if (memory_.finish() == BootMemory::Outcome::Failed) ops_ok_ = false;
    if (++op_ < ops_.size()) return start_op(op_end_);
    state_ = State::Command;
    cpu_free_ = std::max(cpu_free_, op_end_);
    (this->*ops_done_)(ops_ok_, op_end_);
}

void SystemBootloader::flash_done(bool ok, Cycles now)
{
    if (ok)
        ack(now);
    else
        nack(now);
}

void SystemBootloader::options_done(bool ok, Cycles now)
{
    // New option bytes take effect through a system reset.
    flash_done(ok, now);
    leave(Exit::Kind::Reset, 0);
}

} // namespace sim
