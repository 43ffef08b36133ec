#include "board/boot/boot_cpu.h"

#include <algorithm>
#include <cstdio>

#include "board/board.h"

namespace sim {

namespace {

// What the bootloader sets up: GPIOA's and USART1's clocks, PA9 and PA10 on
// their alternate function 1 (USART1), and the USART itself.
constexpr unsigned kGpioaClockBit = 17, kUsart1ClockBit = 14;
constexpr std::uint32_t kPa9Pa10Moder = 0xFu << 18, kPa9Pa10Alternate = 0xAu << 18;
constexpr std::uint32_t kPa9Pa10Afr = 0xFFu << 4, kPa9Pa10Af1 = 0x11u << 4;
// Before the first 0x7F the receiver waits at about 115200 baud.
constexpr std::uint32_t kInitialBrr = (kCoreHz + snt::boot::kDefaultBaud / 2) / snt::boot::kDefaultBaud;

std::uint32_t usart(std::uint32_t offset) { return kUsart1Base + offset; }

std::string hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

} // namespace

BootCpu::BootCpu(Board &board, ProgramFactory program, BootloaderConfig config)
    : board_(board), make_program_(std::move(program)), memory_(board), boot_(memory_, config)
{}

CpuFactory BootCpu::factory(ProgramFactory program, BootloaderConfig config)
{
    return [program = std::move(program), config](Board &board) {
        return std::make_unique<BootCpu>(board, program, config);
    };
}

// ------------------------------------------------------------------ reset

void BootCpu::set_up_usart()
{
    const auto set_bits = [this](std::uint32_t address, std::uint32_t mask, std::uint32_t bits) {
        board_.poke(address, (board_.inspect(address) & ~mask) | bits);
    };
    set_bits(kRccBase + kRccAhbenr, 1u << kGpioaClockBit, 1u << kGpioaClockBit);
    set_bits(kRccBase + kRccApb2enr, 1u << kUsart1ClockBit, 1u << kUsart1ClockBit);
    set_bits(kGpioaBase + Gpio::kModer, kPa9Pa10Moder, kPa9Pa10Alternate);
    set_bits(kGpioaBase + Gpio::kAfrh, kPa9Pa10Afr, kPa9Pa10Af1);
    board_.poke(usart(Usart::kCr1), 0);
    board_.poke(usart(Usart::kBrr), kInitialBrr);
    board_.poke(usart(Usart::kCr2), Usart::kABREN | Usart::kAbrMode7F);
    board_.poke(usart(Usart::kCr1), Usart::kM0 | Usart::kPCE | Usart::kTE | Usart::kRE | Usart::kUE);
}

void BootCpu::reset_chip(Cycles now)
{
    // The option bytes take effect: the write protection reaches the flash.
    board_.flash().set_write_protection(memory_.write_protection());
    board_.flash().defer_store(true);
    boot_.reset(now);
    to_send_.clear();
    exit_.reset();
    set_up_usart();
}

// ---------------------------------------------------------------- running

bool BootCpu::idle() const
{
    return !program_ && !boot_.next_wake() && to_send_.empty() && !exit_ && board_.usart().tx_idle() &&
        !(board_.usart().isr() & Usart::kRXNE);
}

bool BootCpu::waiting_for_line() const { return program_ ? program_->waiting_for_line() : idle(); }

bool BootCpu::run_until(const std::function<bool()> &done, Cycles until)
{
    Scheduler &sched = board_.scheduler();
    if (!started_) {
        started_ = true;
        reset_chip(sched.now());
    }
    while (!program_) {
        if (done() || board_.take_pause_request() || sched.now() >= until) return done();
        if (idle()) {
            // Nothing to do until a byte comes: the hosts may wait for one.
            board_.main_loop_waits();
            if (done() || board_.take_pause_request()) return done();
        }
        const Cycles now = sched.now();
        Cycles next = until;
        const auto soonest = [&](Cycles t) {
            if (t > now) next = std::min(next, t);
        };
        if (sched.has_events()) next = std::min(next, std::max(now, sched.next_event_time()));
        if (const auto wake = boot_.next_wake()) soonest(*wake);
        if (!to_send_.empty()) soonest(to_send_.front().start);
        if (exit_) soonest(exit_->at);
        sched.advance_to(next);
        step(sched.now());
    }
    return program_->run_until(done, until);
}

void BootCpu::step(Cycles now)
{
    take_byte(now);
    boot_.advance(now);
    for (const auto &r : boot_.take_replies()) to_send_.push_back(r);
    send_due(now);
    if (auto e = boot_.take_exit()) exit_ = e;
    leave(now);
}

void BootCpu::take_byte(Cycles now)
{
    const std::uint32_t isr = board_.inspect(usart(Usart::kIsr));
    if (!(isr & Usart::kRXNE)) return;
    const auto byte = static_cast<std::uint8_t>(board_.inspect(usart(Usart::kRdr)));
    if (isr & (Usart::kPE | Usart::kFE | Usart::kNE | Usart::kORE)) {
        // A byte that came damaged is not a byte of the protocol.
        board_.poke(usart(Usart::kIcr), Usart::kPE | Usart::kFE | Usart::kNE | Usart::kORE);
        ++figures_.line_errors;
        return;
    }
    if (!boot_.synchronised()) {
        if (isr & Usart::kABRE) {
            board_.poke(usart(Usart::kRqr), Usart::kABRRQ); // not a 0x7F: measure again on the next byte
            return;
        }
        // The rate the USART measured on the 0x7F is the line's from now on.
        const Usart &u = board_.usart();
        figures_.byte_cycles = u.byte_cycles();
        figures_.baud = static_cast<std::uint32_t>((kCoreHz + u.brr() / 2) / u.brr());
        boot_.set_byte_cycles(figures_.byte_cycles);
    }
    if (!figures_.first_byte) figures_.first_byte = now - std::min(now, figures_.byte_cycles);
    ++figures_.bytes_received;
    figures_.last_byte = std::max(figures_.last_byte, now);
    boot_.receive(byte, now);
}

void BootCpu::send_due(Cycles now)
{
    while (!to_send_.empty() && to_send_.front().start <= now && (board_.usart().isr() & Usart::kTXE)) {
        // What the answer reports done is in the store before it leaves.
        board_.flash().flush_store();
        board_.poke(usart(Usart::kTdr), to_send_.front().value);
        ++figures_.bytes_sent;
        figures_.last_byte = std::max(figures_.last_byte, now + figures_.byte_cycles);
        to_send_.erase(to_send_.begin());
    }
}

bool BootCpu::leave(Cycles now)
{
    if (!exit_ || now < exit_->at || !to_send_.empty() || !board_.usart().tx_idle()) return false;
    const SystemBootloader::Exit e = *exit_;
    exit_.reset();
    // The bootloader puts back what it set up, and locks the flash.
    memory_.lock();
    board_.usart().reset();
    board_.gpioa().reset();
    board_.rcc().reset();
    if (e.kind == SystemBootloader::Exit::Kind::Reset) {
        board_.flash().regs().reset();
        reset_chip(now);
        return true;
    }
    board_.flash().defer_store(false);
    figures_.started = now;
    figures_.started_at = e.address;
    program_ = make_program_(board_, e.address, memory_.ram());
    return true;
}

// ------------------------------------------------------------- statistics

std::optional<std::uint64_t> BootCpu::instructions() const
{
    return program_ ? program_->instructions() : std::nullopt;
}

HandlerFigures BootCpu::handler(int exception) const
{
    return program_ ? program_->handler(exception) : HandlerFigures{};
}

Cycles BootCpu::flash_stall_cycles() const { return program_ ? program_->flash_stall_cycles() : 0; }

std::vector<std::pair<std::string, std::string>> boot_statistics(const BootCpu &cpu)
{
    const BootCpu::Figures &f = cpu.figures();
    const SystemBootloader &boot = cpu.bootloader();
    std::vector<std::pair<std::string, std::string>> s;
    const auto add = [&s](const char *name, std::uint64_t v) { s.emplace_back(name, std::to_string(v)); };
    add("boot.baud", f.baud);
    add("boot.bytes_received", f.bytes_received);
    add("boot.bytes_sent", f.bytes_sent);
    add("boot.byte_cycles", f.byte_cycles);
    // The session from the first byte's start bit to the last byte's stop
    // bit, and what the bytes and the flash's work add up to within it.
    const Cycles first = f.first_byte.value_or(0);
    add("boot.session_cycles", f.first_byte ? f.last_byte - first : 0);
    add("boot.wire_cycles", (f.bytes_received + f.bytes_sent) * f.byte_cycles);
    add("boot.flash_cycles", boot.flash_cycles());
    add("boot.overruns", boot.overruns());
    add("boot.line_errors", f.line_errors);
    if (f.started) {
        add("boot.go_cycle", *f.started);
        s.emplace_back("boot.go_address", hex(f.started_at));
    }
    return s;
}

} // namespace sim
