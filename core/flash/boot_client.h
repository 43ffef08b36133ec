// The flashing job against the STM32's system-memory bootloader on USART1
// (AN3155), as a state machine without I/O: it is given the bytes that
// arrive and the current time, and says what to send, when to wake it, and
// what happened. It never blocks and never reads a clock, so a serial port,
// a pseudo-terminal, the virtual board in memory or a web page's serial port
// can all drive it.
//
// The job: synchronise (0x7F; a bootloader synchronised before answers it
// with NACK, and one left in the middle of a command by a lost connection
// takes 0x7F bytes until the command ends), Get (the commands and the erase
// variant offered), Get ID (only the STM32F030x6's 0x444 is flashed), erase
// the pages the image covers (never the settings page at 0x08003C00 unless
// asked), write in blocks of up to 256 bytes, read every block back and
// compare, and Go to 0x08000000. Every wait for an answer has a time-out
// worked out from the line rate and the flash times, plus a margin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/flash/bootloader_protocol.h"
#include "core/flash/image.h"

namespace snt::flash {

// Time as the driver counts it, in microseconds from any origin.
using Micros = std::uint64_t;

enum class Step { Sync, Get, GetId, Erase, Write, Verify, Go };
std::string_view step_name(Step step);

struct FlashOptions {
    // Erase the settings page (page 15) too, clearing the stored crystal.
    bool erase_settings = false;
    // The line: `baud` with 8 data bits, even parity and a stop bit.
    std::uint32_t baud = boot::kDefaultBaud;
    // Added to every wait for an answer: what a USB adapter and the operating
    // system may add to the line and the chip.
    Micros reply_margin = 20'000;
    // Typical flash times of the STM32F030 (datasheet; the board's flash
    // model takes exactly these). Waits allow twice as long, which covers the
    // datasheet's maxima (40 ms, 60 us).
    Micros page_erase = 30'000;
    double program_half_word = 53.5;
};

// What happened. Progress counts pages (Erase) or bytes (Write, Verify) done
// of the step's total, with the address reached; StepDone ends a step with a
// line saying what it found; Failed carries the step, the address and the
// progress where the job stopped and a one-line message; Finished follows
// the Go.
struct FlashEvent {
    enum class Kind { Progress, StepDone, Failed, Finished };
    Kind kind = Kind::Progress;
    Step step = Step::Sync;
    std::uint32_t address = 0;
    std::uint32_t done = 0, total = 0;
    std::string message;
};

// What the bootloader said about itself.
struct BootloaderInfo {
    bool was_synchronised = false; // it answered the first 0x7F with NACK
    std::uint8_t version = 0;      // protocol version, 0x31 for 3.1
    std::vector<std::uint8_t> commands;
    std::uint16_t chip_id = 0;
};

class BootClient {
public:
    explicit BootClient(Image image, FlashOptions options = {});

    // Starts the job; the first byte to send is then in take_output().
    void start(Micros now);
    // Bytes that arrived by `now`.
    void receive(const std::uint8_t *data, std::size_t n, Micros now);
    void receive(const std::vector<std::uint8_t> &data, Micros now) { receive(data.data(), data.size(), now); }
    // Time has passed: call it at wake_at() (earlier or later is harmless).
    void wake(Micros now);
    // The port went away (unplugged, closed): the job fails where it stands.
    void lost(std::string_view reason);

    // What to send now, in order; empty when nothing.
    std::vector<std::uint8_t> take_output();
    // When wake() has something to check (a time-out); none once over.
    std::optional<Micros> wake_at() const;
    std::vector<FlashEvent> take_events();
    // Bytes that arrived after the job finished (the started image's first
    // words, when they came in the same read as Go's ACK), for whoever
    // talks to the image next.
    std::vector<std::uint8_t> take_after() { return std::exchange(after_, {}); }

    bool running() const { return phase_ != Phase::Idle && phase_ != Phase::Done && phase_ != Phase::Failed; }
    bool finished() const { return phase_ == Phase::Done; }
    bool failed() const { return phase_ == Phase::Failed; }
    const BootloaderInfo &bootloader() const { return info_; }
    // The pages erased and the (address, length) blocks written, in order.
    const std::vector<unsigned> &pages() const { return pages_; }
    struct Block {
        std::uint32_t address;
        std::uint32_t length;
    };
    const std::vector<Block> &blocks() const { return blocks_; }

private:
    enum class Phase { Idle, Sync, Settle, Get, GetId, Erase, Write, Verify, Go, Done, Failed };
    // One part of an answer: an ACK, a count N and N + 1 bytes, or n bytes.
    struct Part {
        enum class Kind { Ack, Counted, Bytes };
        Kind kind;
        std::size_t n = 0;
    };
    struct Exchange {
        std::vector<Part> parts;
        std::size_t part = 0, got = 0, count = 0;
        std::vector<std::uint8_t> payload;
        Micros deadline = 0;
    };

    Micros wire_time(std::size_t bytes) const;
    void send(std::vector<std::uint8_t> bytes, std::vector<Part> parts, Micros now, Micros busy = 0);
    void send_command(boot::Command command, Micros now);
    void send_address(std::uint32_t address, Micros now);

    void sync_byte(std::uint8_t b, Micros now);
    void sync_timeout(Micros now);
    void exchange_byte(std::uint8_t b, Micros now);
    void exchange_done(Micros now);
    void begin(Phase phase, Micros now);
    void step_done(Step step, std::string message);
    void after_get(Micros now);
    void after_get_id(Micros now);
    void erase_next(Micros now);
    void write_next(Micros now);
    void verify_next(Micros now);
    void go_next(Micros now);

    Step step() const;
    std::uint32_t where() const;
    void progress(std::uint32_t address);
    std::uint32_t total() const;
    std::uint8_t image_byte(std::uint32_t offset) const;
    // Ends the job with a Failed event: the step, the message, where it
    // stopped, then the hint.
    void fail(const std::string &message, std::string_view hint = {});
    void fail_nack();
    void fail_timeout(std::string_view what);

    Image image_;
    FlashOptions options_;
    std::vector<std::uint8_t> after_;
    Phase phase_ = Phase::Idle;
    unsigned sub_ = 0;        // which exchange of the current command
    std::size_t item_ = 0;    // which page or block
    std::uint32_t done_ = 0;  // pages or bytes of the current step
    unsigned sync_tries_ = 0; // 0x7F sent: one, then a burst
    unsigned sync_answers_ = 0;
    std::uint8_t last_answer_ = 0;
    Micros quiet_until_ = 0;
    std::optional<Exchange> exchange_;
    std::vector<std::uint8_t> reply_; // what the last exchange brought
    bool extended_erase_ = true;

    std::vector<unsigned> pages_;
    std::vector<Block> blocks_;
    BootloaderInfo info_;
    std::vector<std::uint8_t> out_;
    std::vector<FlashEvent> events_;
};

} // namespace snt::flash
