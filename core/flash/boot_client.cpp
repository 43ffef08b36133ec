#include "core/flash/boot_client.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace snt::flash {

using boot::code;
using boot::Command;
using boot::complement;
using boot::kAck;
using boot::kFlashBase;
using boot::kMaxBlock;
using boot::kNack;
using boot::kPageSize;
using boot::kSync;

namespace {

// After a first 0x7F goes unanswered, this many more: enough to end any
// command a lost connection left half sent (the longest, Write Memory,
// waits for up to 258 bytes), each answered by NACK once it has.
constexpr std::size_t kResyncBurst = 300;
// The longest answer with a count: N + 1 = 256 bytes after the count.
constexpr std::size_t kLongestCounted = 257;

std::string hex(std::uint32_t value, int digits)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4) s[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    return "0x" + s;
}

std::string command_name(Command c)
{
    switch (c) {
    case Command::Get:
        return "Get";
    case Command::GetId:
        return "Get ID";
    case Command::ReadMemory:
        return "Read Memory";
    case Command::Go:
        return "Go";
    case Command::WriteMemory:
        return "Write Memory";
    case Command::Erase:
        return "Erase";
    case Command::ExtendedErase:
        return "Extended Erase";
    default:
        return "command " + hex(code(c), 2);
    }
}

} // namespace

std::string_view step_name(Step step)
{
    switch (step) {
    case Step::Sync:
        return "sync";
    case Step::Get:
        return "get";
    case Step::GetId:
        return "get id";
    case Step::Erase:
        return "erase";
    case Step::Write:
        return "write";
    case Step::Verify:
        return "verify";
    case Step::Go:
        return "go";
    }
    return "?";
}

BootClient::BootClient(Image image, FlashOptions options) : image_(std::move(image)), options_(options)
{
    if (image_.bytes.empty() || image_.size() > boot::kImageLimit || image_.begin >= image_.size()) {
        throw ImageError("an image must hold 1 to 15360 bytes");
    }
    for (unsigned p = image_.first_page(); p <= image_.last_page(); ++p) pages_.push_back(p);
    if (options_.erase_settings) pages_.push_back(boot::kSettingsPageIndex);
    // Writes go in whole words: from the first byte loaded rounded down to
    // a multiple of 4 up to the extent rounded up, padded with 0xFF. The
    // image ends at most at 0x08003C00, a multiple of 4, so padding never
    // reaches the settings page.
    const std::uint32_t first = image_.begin & ~3u, end = (image_.size() + 3u) & ~3u;
    for (std::uint32_t at = first; at < end; at += kMaxBlock) {
        blocks_.push_back({kFlashBase + at, std::min<std::uint32_t>(kMaxBlock, end - at)});
    }
}

// ------------------------------------------------------------ the driver

void BootClient::start(Micros now)
{
    if (phase_ != Phase::Idle) return;
    phase_ = Phase::Sync;
    out_.push_back(kSync);
    sync_tries_ = 1;
    sync_answers_ = 0;
    quiet_until_ = now + wire_time(2) + options_.reply_margin;
}

void BootClient::receive(const std::uint8_t *data, std::size_t n, Micros now)
{
    std::size_t i = 0;
    for (; i < n && running(); ++i) {
        if (phase_ == Phase::Sync || phase_ == Phase::Settle) {
            sync_byte(data[i], now);
        } else if (exchange_) {
            exchange_byte(data[i], now);
        }
    }
    // What the started image sent right behind Go's last ACK is its own.
    if (phase_ == Phase::Done) after_.insert(after_.end(), data + i, data + n);
    wake(now);
}

void BootClient::wake(Micros now)
{
    if ((phase_ == Phase::Sync || phase_ == Phase::Settle) && now >= quiet_until_) {
        if (phase_ == Phase::Sync) return sync_timeout(now);
        if (sync_tries_ == 1 && sync_answers_ == 1) {
            // One 0x7F, one answer: ACK when this was the first, NACK when
            // the bootloader had been synchronised before.
            info_.was_synchronised = last_answer_ == kNack;
            step_done(Step::Sync, info_.was_synchronised ? "the bootloader was synchronised already" : "synchronised");
        } else {
            info_.was_synchronised = true;
            step_done(Step::Sync, "resynchronised: the bootloader was in the middle of a command, or slow to answer");
        }
        begin(Phase::Get, now);
    } else if (running() && exchange_ && now >= exchange_->deadline) {
        fail_timeout("no answer from the bootloader");
    }
}

void BootClient::lost(std::string_view reason)
{
    if (!running()) return;
    fail_timeout("the connection was lost (" + std::string(reason) + ")");
}

std::vector<std::uint8_t> BootClient::take_output() { return std::exchange(out_, {}); }
std::vector<FlashEvent> BootClient::take_events() { return std::exchange(events_, {}); }

std::optional<Micros> BootClient::wake_at() const
{
    if (phase_ == Phase::Sync || phase_ == Phase::Settle) return quiet_until_;
    if (running() && exchange_) return exchange_->deadline;
    return std::nullopt;
}

Micros BootClient::wire_time(std::size_t bytes) const
{
    const std::uint64_t bits = std::uint64_t{bytes} * boot::kBitsPerByte * 1'000'000;
    return (bits + options_.baud - 1) / options_.baud;
}

// ----------------------------------------------------- synchronisation

void BootClient::sync_byte(std::uint8_t b, Micros now)
{
    if (b != kAck && b != kNack) {
        fail("answered " + hex(b, 2) + " to 0x7F, neither ACK nor NACK: is this the chip's bootloader (BOOT0 high, " +
             std::to_string(options_.baud) + " baud 8E1)?");
        return;
    }
    // Wait for quiet whatever came: after a burst every 0x7F still on its
    // way is answered, and the answer to a command an earlier session left
    // running (an erase) may come ahead of the answer to ours.
    ++sync_answers_;
    last_answer_ = b;
    phase_ = Phase::Settle;
    quiet_until_ = now + wire_time(2) + options_.reply_margin;
}

void BootClient::sync_timeout(Micros now)
{
    if (sync_tries_ == 1) {
        // Perhaps a command was left half sent: fill it up with 0x7F until
        // the bootloader answers.
        out_.insert(out_.end(), kResyncBurst, kSync);
        sync_tries_ = 2;
        quiet_until_ = now + wire_time(kResyncBurst + 1) + options_.reply_margin;
        return;
    }
    fail("no answer to 0x7F: is BOOT0 high, was the chip reset, is the line at " + std::to_string(options_.baud) +
         " baud 8E1?");
}

// ------------------------------------------------------------ exchanges

void BootClient::send(std::vector<std::uint8_t> bytes, std::vector<Part> parts, Micros now, Micros busy)
{
    std::size_t answer = 0;
    for (const Part &p : parts)
        answer += p.kind == Part::Kind::Ack ? 1 : p.kind == Part::Kind::Bytes ? p.n : kLongestCounted;
    Exchange x;
    x.parts = std::move(parts);
    x.deadline = now + wire_time(bytes.size() + answer) + busy + options_.reply_margin;
    exchange_ = std::move(x);
    out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void BootClient::send_command(Command command, Micros now)
{
    const std::vector<Part> ack{{Part::Kind::Ack}};
    const bool with_count = command == Command::Get || command == Command::GetId;
    send({code(command), complement(code(command))},
         with_count ? std::vector<Part>{{Part::Kind::Ack}, {Part::Kind::Counted}, {Part::Kind::Ack}} : ack, now);
}

void BootClient::send_address(std::uint32_t address, Micros now)
{
    std::vector<std::uint8_t> b{std::uint8_t(address >> 24), std::uint8_t(address >> 16), std::uint8_t(address >> 8),
                                std::uint8_t(address)};
    b.push_back(boot::xor_of(b.data(), b.size()));
    send(std::move(b), {{Part::Kind::Ack}}, now);
}

void BootClient::exchange_byte(std::uint8_t b, Micros now)
{
    Exchange &x = *exchange_;
    const Part &p = x.parts[x.part];
    bool part_done = false;
    switch (p.kind) {
    case Part::Kind::Ack:
        if (b == kNack) return fail_nack();
        if (b != kAck) return fail("answered " + hex(b, 2) + " where an ACK or NACK belongs");
        part_done = true;
        break;
    case Part::Kind::Counted:
        if (x.count == 0) {
            x.count = std::size_t{b} + 1;
            break;
        }
        x.payload.push_back(b);
        part_done = ++x.got == x.count;
        break;
    case Part::Kind::Bytes:
        x.payload.push_back(b);
        part_done = ++x.got == p.n;
        break;
    }
    if (!part_done) return;
    x.got = x.count = 0;
    if (++x.part == x.parts.size()) exchange_done(now);
}

void BootClient::exchange_done(Micros now)
{
    reply_ = std::move(exchange_->payload);
    exchange_.reset();
    switch (phase_) {
    case Phase::Get:
        return after_get(now);
    case Phase::GetId:
        return after_get_id(now);
    case Phase::Erase:
        return erase_next(now);
    case Phase::Write:
        return write_next(now);
    case Phase::Verify:
        return verify_next(now);
    case Phase::Go:
        return go_next(now);
    default:
        return;
    }
}

// ----------------------------------------------------------------- steps

void BootClient::begin(Phase phase, Micros now)
{
    phase_ = phase;
    sub_ = 0;
    item_ = 0;
    done_ = 0;
    switch (phase) {
    case Phase::Get:
        return send_command(Command::Get, now);
    case Phase::GetId:
        return send_command(Command::GetId, now);
    case Phase::Erase:
        return erase_next(now);
    case Phase::Write:
        return write_next(now);
    case Phase::Verify:
        return verify_next(now);
    case Phase::Go:
        return go_next(now);
    default:
        return;
    }
}

void BootClient::step_done(Step step, std::string message)
{
    FlashEvent e;
    e.kind = FlashEvent::Kind::StepDone;
    e.step = step;
    e.message = std::move(message);
    events_.push_back(std::move(e));
}

void BootClient::after_get(Micros now)
{
    if (reply_.empty()) return fail("an empty answer to Get");
    info_.version = reply_[0];
    info_.commands.assign(reply_.begin() + 1, reply_.end());
    const auto offers = [&](Command c) {
        return std::find(info_.commands.begin(), info_.commands.end(), code(c)) != info_.commands.end();
    };
    for (const Command c : {Command::GetId, Command::WriteMemory, Command::ReadMemory, Command::Go}) {
        if (!offers(c))
            return fail("the bootloader offers no " + command_name(c) + " command (" + hex(code(c), 2) + ")");
    }
    extended_erase_ = offers(Command::ExtendedErase);
    if (!extended_erase_ && !offers(Command::Erase))
        return fail("the bootloader offers no erase command (0x43 or 0x44)");
    step_done(Step::Get,
              "bootloader protocol " + std::to_string(info_.version >> 4) + "." + std::to_string(info_.version & 0xF) +
                  ", erasing with " + command_name(extended_erase_ ? Command::ExtendedErase : Command::Erase));
    begin(Phase::GetId, now);
}

void BootClient::after_get_id(Micros now)
{
    if (reply_.size() != 2) return fail("an answer to Get ID of " + std::to_string(reply_.size()) + " bytes, not 2");
    info_.chip_id = static_cast<std::uint16_t>(reply_[0] << 8 | reply_[1]);
    if (info_.chip_id != boot::kChipId) {
        return fail("chip ID " + hex(info_.chip_id, 3) +
                    ", not the STM32F030x6's 0x444: refusing to flash another chip");
    }
    step_done(Step::GetId, "chip ID 0x444 (STM32F030x6)");
    begin(Phase::Erase, now);
}

void BootClient::erase_next(Micros now)
{
    if (sub_ == 2) {
        sub_ = 0;
        ++item_;
        progress(kFlashBase + pages_[++done_ - 1] * kPageSize);
        if (item_ == pages_.size()) {
            step_done(Step::Erase,
                      std::to_string(pages_.size()) + " pages erased" +
                          (options_.erase_settings ? ", the settings page among them" : "; the settings page is kept"));
            return begin(Phase::Write, now);
        }
    }
    if (sub_++ == 0) return send_command(extended_erase_ ? Command::ExtendedErase : Command::Erase, now);
    // One page a command, so progress and a failure name the page.
    const unsigned page = pages_[item_];
    std::vector<std::uint8_t> b;
    if (extended_erase_)
        b = {0x00, 0x00, std::uint8_t(page >> 8), std::uint8_t(page)};
    else
        b = {0x00, std::uint8_t(page)};
    b.push_back(boot::xor_of(b.data(), b.size()));
    const auto busy = static_cast<Micros>(2 * options_.page_erase);
    send(std::move(b), {{Part::Kind::Ack}}, now, busy);
}

void BootClient::write_next(Micros now)
{
    if (sub_ == 3) {
        sub_ = 0;
        done_ += blocks_[item_].length;
        progress(blocks_[item_].address + blocks_[item_].length);
        if (++item_ == blocks_.size()) {
            step_done(Step::Write, std::to_string(done_) + " bytes written from " + hex(blocks_.front().address, 8));
            return begin(Phase::Verify, now);
        }
    }
    const Block &block = blocks_[item_];
    switch (sub_++) {
    case 0:
        return send_command(Command::WriteMemory, now);
    case 1:
        return send_address(block.address, now);
    default: {
        std::vector<std::uint8_t> b{std::uint8_t(block.length - 1)};
        for (std::uint32_t i = 0; i < block.length; ++i) b.push_back(image_byte(block.address - kFlashBase + i));
        b.push_back(boot::xor_of(b.data(), b.size()));
        const std::uint32_t half_words = block.length / 2;
        const auto busy = static_cast<Micros>(std::ceil(2 * options_.program_half_word * half_words));
        return send(std::move(b), {{Part::Kind::Ack}}, now, busy);
    }
    }
}

void BootClient::verify_next(Micros now)
{
    if (sub_ == 3) {
        const Block &block = blocks_[item_];
        for (std::uint32_t i = 0; i < block.length; ++i) {
            const std::uint8_t want = image_byte(block.address - kFlashBase + i);
            if (reply_[i] != want) {
                done_ += i;
                return fail(hex(block.address + i, 8) + " reads " + hex(reply_[i], 2) + ", the image has " +
                            hex(want, 2));
            }
        }
        sub_ = 0;
        done_ += block.length;
        progress(block.address + block.length);
        if (++item_ == blocks_.size()) {
            step_done(Step::Verify, std::to_string(done_) + " bytes read back as written");
            return begin(Phase::Go, now);
        }
    }
    const Block &block = blocks_[item_];
    switch (sub_++) {
    case 0:
        return send_command(Command::ReadMemory, now);
    case 1:
        return send_address(block.address, now);
    default: {
        const auto n = std::uint8_t(block.length - 1);
        return send({n, complement(n)}, {{Part::Kind::Ack}, {Part::Kind::Bytes, block.length}}, now);
    }
    }
}

void BootClient::go_next(Micros now)
{
    switch (sub_++) {
    case 0:
        return send_command(Command::Go, now);
    case 1:
        return send_address(kFlashBase, now);
    default:
        break;
    }
    step_done(Step::Go, "started the image at " + hex(kFlashBase, 8));
    phase_ = Phase::Done;
    FlashEvent e;
    e.kind = FlashEvent::Kind::Finished;
    e.step = Step::Go;
    e.address = kFlashBase;
    e.message = "flashed and verified " +
        std::to_string(blocks_.back().address + blocks_.back().length - blocks_.front().address) +
        " bytes; the image runs";
    events_.push_back(std::move(e));
}

// ------------------------------------------------------------ reporting

std::uint8_t BootClient::image_byte(std::uint32_t offset) const
{
    return offset < image_.size() ? image_.bytes[offset] : 0xFF;
}

Step BootClient::step() const
{
    switch (phase_) {
    case Phase::Get:
        return Step::Get;
    case Phase::GetId:
        return Step::GetId;
    case Phase::Erase:
        return Step::Erase;
    case Phase::Write:
        return Step::Write;
    case Phase::Verify:
        return Step::Verify;
    case Phase::Go:
        return Step::Go;
    default:
        return Step::Sync;
    }
}

std::uint32_t BootClient::where() const
{
    switch (phase_) {
    case Phase::Erase:
        return kFlashBase + pages_[std::min(item_, pages_.size() - 1)] * kPageSize;
    case Phase::Write:
    case Phase::Verify:
        return blocks_[std::min(item_, blocks_.size() - 1)].address;
    case Phase::Go:
        return kFlashBase;
    default:
        return 0;
    }
}

std::uint32_t BootClient::total() const
{
    if (phase_ == Phase::Erase) return static_cast<std::uint32_t>(pages_.size());
    if (phase_ == Phase::Write || phase_ == Phase::Verify) {
        return blocks_.back().address + blocks_.back().length - blocks_.front().address;
    }
    return 0;
}

void BootClient::progress(std::uint32_t address)
{
    FlashEvent e;
    e.step = step();
    e.address = address;
    e.done = done_;
    e.total = total();
    events_.push_back(std::move(e));
}

void BootClient::fail(const std::string &message, std::string_view hint)
{
    FlashEvent e;
    e.kind = FlashEvent::Kind::Failed;
    e.step = step();
    e.address = where();
    e.done = done_;
    e.total = total();
    e.message = std::string(step_name(e.step)) + ": " + message;
    if (e.step == Step::Erase || e.step == Step::Write || e.step == Step::Verify) {
        e.message += "; stopped at " + hex(e.address, 8) + " with " + std::to_string(done_) + " of " +
            std::to_string(e.total) + (e.step == Step::Erase ? " pages" : " bytes") + " done";
    }
    if (!hint.empty()) e.message += "; " + std::string(hint);
    events_.push_back(std::move(e));
    phase_ = Phase::Failed;
    exchange_.reset();
}

void BootClient::fail_nack()
{
    const Block &block = blocks_[std::min(item_, blocks_.size() - 1)];
    const unsigned exchange = sub_ - 1; // the one answered
    std::string m;
    switch (phase_) {
    case Phase::Erase:
        m = exchange == 0 ? "the bootloader refused the erase command: is the flash read-protected?"
                          : "the bootloader refused to erase page " + std::to_string(pages_[item_]);
        break;
    case Phase::Write:
        m = exchange == 0   ? "the bootloader refused Write Memory: is the flash read-protected?"
            : exchange == 1 ? "the bootloader refused the address " + hex(block.address, 8)
                            : "the bootloader refused the " + std::to_string(block.length) +
                " bytes for it (damaged on the line, or the flash would not take them)";
        break;
    case Phase::Verify:
        m = exchange == 0   ? "the bootloader refused Read Memory: is the flash read-protected?"
            : exchange == 1 ? "the bootloader refused the address " + hex(block.address, 8)
                            : "the bootloader refused to read " + std::to_string(block.length) + " bytes";
        break;
    case Phase::Go:
        m = exchange == 0 ? "the bootloader refused Go" : "the bootloader refused to start at 0x08000000";
        break;
    default:
        m = "the bootloader refused the command";
        break;
    }
    fail(m);
}

void BootClient::fail_timeout(std::string_view what)
{
    const Step s = step();
    if (s == Step::Go)
        return fail(std::string(what), "the image is written and verified: reset the chip with BOOT0 low to start it");
    if (s == Step::Erase || s == Step::Write || s == Step::Verify) {
        return fail(std::string(what), "the chip stays in its bootloader until it is reset: flash again to finish");
    }
    fail(std::string(what), s == Step::Sync ? "" : "nothing was erased or written");
}

} // namespace snt::flash
