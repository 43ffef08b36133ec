// The STM32F030x6's system-memory bootloader, as the chip runs it with
// BOOT0 high: the USART protocol of ST's AN3155 on USART1, byte by byte and
// in virtual time, on memory reached through a BootMemory.
//
// After reset it waits for 0x7F, which sets the baud rate (auto-baud), and
// answers ACK (0x79). Then it takes commands, each a code and its complement:
// Get, Get Version and Read Protection Status, Get ID (0x444), Read Memory,
// Go, Write Memory, Extended Erase (the erase this bootloader, protocol 3.1,
// offers), Write Protect, Write Unprotect, Readout Protect and Readout
// Unprotect. It answers NACK (0x1F) to anything it refuses: an unknown
// command or a wrong complement, a bad checksum, an address outside the
// memory a command may reach, a length past the end of it, a write to
// program flash that is not in whole words, and, while the flash is
// read-protected, every command that would reach memory. A 0x7F where a
// command belongs is answered NACK at once, which is how a host finds a
// bootloader that was synchronised before.
//
// The caller delivers each received byte at the time its stop bit ends and
// calls advance() at next_wake(); the bootloader says when each byte of its
// answers may start on the line (at the line's byte rate, one after the
// other), and when it leaves: Go (to an address in flash or RAM) or the
// system reset that follows a change of the option bytes. While it waits
// for the flash, or hands a long answer to the transmitter, it reads no
// byte: the receiver holds one, and the next one overruns and is lost, as
// on the chip.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "board/boot/boot_memory.h"
#include "board/peripherals/scheduler.h"
#include "core/flash/bootloader_protocol.h"

namespace sim {

struct BootloaderConfig {
    // What Get ID answers; another value makes the board pass for another chip.
    std::uint16_t chip_id = snt::boot::kChipId;
    // Offer Erase (0x43), as bootloaders before protocol 3.0 do, instead of
    // Extended Erase.
    bool legacy_erase = false;
    // The line's byte time, 11 bits at 115200 baud until set_baud().
    Cycles byte_cycles = byte_time(snt::boot::kDefaultBaud);

    static constexpr Cycles byte_time(std::uint32_t baud)
    {
        return (snt::boot::kBitsPerByte * kCoreHz + baud / 2) / baud;
    }
};

class SystemBootloader {
public:
    struct TxByte {
        std::uint8_t value;
        Cycles start; // when its start bit may begin
    };
    struct Exit {
        enum class Kind { Go, Reset };
        Kind kind;
        std::uint32_t address; // Go: where to start
        Cycles at;             // once the last ACK has left
    };

    explicit SystemBootloader(BootMemory &memory, BootloaderConfig config = {});

    // A reset with BOOT0 high: waits for 0x7F again, with the option bytes
    // (read protection, write protection) read anew.
    void reset(Cycles now);
    // The auto-baud result: the host's rate, which the first 0x7F measures.
    void set_baud(std::uint32_t baud) { config_.byte_cycles = BootloaderConfig::byte_time(baud); }
    // The same as the time of one byte on the line, as the USART measured it.
    void set_byte_cycles(Cycles cycles) { config_.byte_cycles = cycles; }
    Cycles byte_cycles() const { return config_.byte_cycles; }

    // A byte whose stop bit ended at `now`.
    void receive(std::uint8_t byte, Cycles now);
    // Runs what came due by `now`: flash operations ending, a held byte.
    void advance(Cycles now);
    std::optional<Cycles> next_wake() const;

    std::vector<TxByte> take_replies();
    std::optional<Exit> take_exit();

    bool synchronised() const { return state_ != State::WaitSync; }
    bool exited() const { return state_ == State::Exited; }
    bool read_protected() const { return read_protected_; }
    // Bytes lost because one arrived while the receiver held another.
    std::uint64_t overruns() const { return overruns_; }
    // Total time spent on flash operations.
    Cycles flash_cycles() const { return flash_cycles_; }

private:
    enum class State { WaitSync, Command, Complement, Collect, Flash, Exited };
    using Handler = void (SystemBootloader::*)(Cycles);
    using Done = void (SystemBootloader::*)(bool ok, Cycles);
    struct FlashOp {
        enum class Kind { PageErase, MassErase, OptionErase, Program };
        Kind kind;
        std::uint32_t address = 0;
        std::uint16_t value = 0;
    };

    void take(std::uint8_t byte, Cycles now);
    void command(std::uint8_t code, Cycles now);
    void collect(std::size_t n, Handler then);
    void emit(std::uint8_t byte, Cycles now);
    void emit(const std::vector<std::uint8_t> &bytes, Cycles now);
    void ack(Cycles now) { emit(snt::boot::kAck, now); }
    void nack(Cycles now);
    void leave(Exit::Kind kind, std::uint32_t address);
    void run(std::vector<FlashOp> ops, Done then, Cycles now);
    void start_op(Cycles now);

    // Commands and their stages.
    void get(Cycles now);
    void read_address(Cycles now);
    void read_count(Cycles now);
    void go_address(Cycles now);
    void write_address(Cycles now);
    void write_count(Cycles now);
    void write_data(Cycles now);
    void erase_count(Cycles now);
    void erase_special(Cycles now);
    void erase_pages(Cycles now);
    void legacy_erase_count(Cycles now);
    void legacy_erase_pages(Cycles now);
    void protect_count(Cycles now);
    void protect_sectors(Cycles now);
    void write_options(std::vector<std::uint8_t> options, std::vector<FlashOp> before, Cycles now);
    void flash_done(bool ok, Cycles now);
    void options_done(bool ok, Cycles now);

    void complete_op();
    bool check_address(Cycles now);
    std::vector<std::uint8_t> option_bytes();

    BootMemory &memory_;
    BootloaderConfig config_;
    State state_ = State::WaitSync;
    bool read_protected_ = false;

    std::uint8_t code_ = 0;           // the command being taken
    std::vector<std::uint8_t> frame_; // bytes collected for the current stage
    std::size_t want_ = 0;            // how many the stage takes
    Handler then_ = nullptr;          // what takes them
    std::uint32_t address_ = 0;       // the command's address
    std::uint16_t count_ = 0;         // its count (N), as sent

    std::vector<FlashOp> ops_;
    std::size_t op_ = 0;
    bool ops_ok_ = true;
    Cycles op_end_ = 0;
    Done ops_done_ = nullptr;

    Cycles tx_free_ = 0;  // when the transmitter takes the next byte
    Cycles cpu_free_ = 0; // when the bootloader reads the receiver again
    std::optional<std::uint8_t> held_;
    std::uint64_t overruns_ = 0;
    Cycles flash_cycles_ = 0;

    std::vector<TxByte> replies_;
    std::optional<Exit> exit_;
};

} // namespace sim
