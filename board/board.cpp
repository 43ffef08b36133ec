#include "board/board.h"

#include <cstdio>

#include "board/bench/dut_text.h"
#include "board/cpu/chip_cpu.h"
#include "shells/sim/firmware_symbols.h"

namespace sim {

namespace {

// The firmware's vectors cover every exception the NVIC can raise.
static_assert(snt_host::kExceptionCount == kIrqBase + 32, "one vector per exception of the Cortex-M0");

constexpr std::uint32_t kAhbenr = Rcc::kAhbenr, kApb2enr = Rcc::kApb2enr, kApb1enr = Rcc::kApb1enr;

// Busy-wait detection: the same read, made from the same place in the
// firmware, returning the same value this many times in a row at one nesting
// depth is a polling loop. (A chain of flag tests reads one register from
// several places and is not.)
constexpr int kPollRepeats = 2;

// Names of the exceptions as the vector table gives them (handler names
// without _IRQHandler or _Handler), for the statistics.
const char *exception_name(int exception)
{
    static const char *const kNames[48] = {nullptr, "Reset", "NMI", "HardFault", nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, "SVC", nullptr, nullptr, "PendSV", "SysTick",
                                           // IRQ 0..31
                                           "WWDG", nullptr, "RTC", "FLASH", "RCC", "EXTI0_1", "EXTI2_3", "EXTI4_15",
                                           nullptr, "DMA1_Channel1", "DMA1_Channel2_3", "DMA1_Channel4_5", "ADC1",
                                           "TIM1_BRK_UP_TRG_COM", "TIM1_CC", nullptr, "TIM3", nullptr, nullptr, "TIM14",
                                           nullptr, "TIM16", "TIM17", "I2C1", nullptr, "SPI1", nullptr, "USART1",
                                           nullptr, nullptr, nullptr, nullptr};
    return exception >= 0 && exception < 48 ? kNames[exception] : nullptr;
}

std::string hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

} // namespace

Board::Board(const BoardOptions &options)
    : flash_(sched_, options.flash_file),
      si5351_(gpiof_, options.synth_xtal_hz),
      analog_(si5351_, parse_dut(options.dut), options.noise, options.seed)
{
    mappings_ = {
        {kRccBase, 0x400, &rcc_, 0, 0},
        {kFlashBase, 0x400, &flash_.regs(), 0, 0},
        {kSettingsPageBase, 0x400, &flash_.page(), 0, 0},
        {kGpioaBase, 0x400, &gpioa_, kAhbenr, 17},
        {kGpiofBase, 0x400, &gpiof_, kAhbenr, 22},
        {kUsart1Base, 0x400, &usart_, kApb2enr, 14},
        {kAdcBase, 0x400, &adc_, kApb2enr, 9},
        {kTim3Base, 0x400, &tim3_, kApb1enr, 1},
        {kSysTickBase, 0x010, &systick_, 0, 0},
        {kNvicBase, 0x400, &nvic_, 0, 0},
        {kScbBase, 0x040, &nvic_.scb(), 0, 0},
    };
    for (auto &m : mappings_) {
        m.device->set_guest_error_sink(this);
        m.device->reset();
    }
    // TIM3's trigger output starts the ADC's conversions of PA0.
    tim3_.on_trgo([this] { adc_.external_trigger(Adc::kTrgTim3Trgo); });
    adc_.set_source(&analog_);
    // The bus lines have pull-up resistors on the board; the synthesizer
    // sits on them.
    gpiof_.set_external(0, Gpio::External::PullUp);
    gpiof_.set_external(1, Gpio::External::PullUp);

    if (!options.image.empty()) {
        chip_ = std::make_unique<ChipCpu>(*this, options.image);
        return;
    }
    firmware_ = std::make_unique<FirmwareModule>(options.firmware);
    parts_ = SNT_FW(*firmware_, host_attach)(this);
}

FirmwareModule &Board::firmware()
{
    if (!firmware_) throw BoardError("the board runs a chip image, not the firmware's host build");
    return *firmware_;
}

Board::~Board()
{
    cpu_.reset(); // unwinds a firmware thread that is still running main()
}

// ----------------------------------------------------------------- running

bool Board::run_until(const std::function<bool()> &done, Cycles max_cycles)
{
    if (chip_) {
        pause_requested_ = false;
        return chip_->run_until(done, sched_.now() + max_cycles);
    }
    if (done()) return true;
    if (cpu_ && cpu_->finished()) throw BoardError("the firmware has stopped");
    pause_at_ = sched_.now() + max_cycles;
    pause_requested_ = false;
    done_ = &done;
    if (!cpu_) {
        auto main_fn = parts_->main_entry;
        cpu_ = std::make_unique<CpuThread>([main_fn] { main_fn(); });
    }
    try {
        cpu_->resume();
    } catch (...) {
        done_ = nullptr;
        throw;
    }
    done_ = nullptr;
    if (cpu_->finished()) throw BoardError("main() returned");
    return done();
}

void Board::run_for(Cycles cycles)
{
    const Cycles end = sched_.now() + cycles;
    run_until([this, end] { return sched_.now() >= end; }, cycles);
}

bool Board::firmware_idle() const
{
    if (chip_) return chip_->idle();
    return main_loop_waiting_ && active_.empty() && nvic_.next_to_take(kThreadPriority) < 0 &&
        *parts_->line_flag == 0 && usart_.tx_idle();
}

void Board::maybe_pause()
{
    if (!cpu_ || !cpu_->on_cpu_thread()) return;
    if (pause_requested_ || sched_.now() >= pause_at_ || (done_ != nullptr && (*done_)())) {
        pause_requested_ = false;
        cpu_->yield();
    }
}

// ------------------------------------------------------------- the core side

int Board::current_priority() const { return active_.empty() ? kThreadPriority : nvic_.priority_of(active_.back()); }

void Board::take_interrupts()
{
    for (;;) {
        const int exception = nvic_.next_to_take(current_priority());
        if (exception < 0) return;
        const snt_host::Handler handler = parts_->vectors[exception];
        if (handler == nullptr) {
            throw BoardError("exception " + std::to_string(exception) +
                             " has no handler: the chip would halt in Default_Handler");
        }
        if (active_.size() + 1 >= poll_states_.size()) throw BoardError("interrupts nested too deeply");
        nvic_.activate(exception);
        active_.push_back(exception);
        poll_states_[active_.size()] = PollState{};
        const Cycles entered = sched_.now();
        handler();
        active_.pop_back();
        nvic_.deactivate(exception);
        HandlerFigures &h = handlers_[exception];
        const Cycles spent = sched_.now() - entered;
        ++h.count;
        h.cycles_total += spent;
        if (spent > h.cycles_max) h.cycles_max = spent;
    }
}

void Board::boundary()
{
    ++accesses_;
    sched_.advance_to(sched_.now() + kAccessCycles);
    take_interrupts();
}

const Board::Mapping &Board::map(std::uint32_t address)
{
    // Runs of accesses mostly stay on one device (the bus pins, a polled flag).
    if (last_mapping_ != nullptr && address - last_mapping_->base < last_mapping_->size) return *last_mapping_;
    for (const auto &m : mappings_) {
        if (address - m.base < m.size) {
            last_mapping_ = &m;
            return m;
        }
    }
    throw BoardError("access to unmapped address " + hex(address));
}

std::uint32_t Board::inspect(std::uint32_t address, unsigned size)
{
    const Mapping &m = map(address);
    return clocked(m) ? m.device->read(address - m.base, size) : 0;
}

void Board::poke(std::uint32_t address, std::uint32_t value, unsigned size)
{
    const Mapping &m = map(address);
    if (clocked(m)) m.device->write(address - m.base, value, size);
}

void Board::guest_error(const GuestError &e)
{
    const bool first = guest_errors_.add(e);
    if (!guest_error_handler_) throw BoardError("guest error: " + describe(e));
    if (first) guest_error_handler_(e);
}

void Board::stall_while_flash_busy()
{
    // Code and vectors live in flash: while it erases or programs, the core
    // fetches nothing, so no instruction and no interrupt runs.
    if (!flash_.busy() || flash_.busy_until() <= sched_.now()) return;
    flash_stall_cycles_ += flash_.busy_until() - sched_.now();
    sched_.advance_to(flash_.busy_until());
}

Statistics Board::statistics() const
{
    Statistics s;
    s.emplace_back("cycles", std::to_string(sched_.now()));
    if (chip_) s.emplace_back("instructions", std::to_string(chip_->core().instructions()));
    for (int e = 0; e < static_cast<int>(handlers_.size()); ++e) {
        std::uint64_t count = 0;
        Cycles max = 0, total = 0;
        if (chip_) {
            const auto &h = chip_->core().handler_stats(e);
            count = h.count, max = h.cycles_max, total = h.cycles_total;
        } else {
            count = handlers_[e].count, max = handlers_[e].cycles_max, total = handlers_[e].cycles_total;
        }
        if (count == 0) continue;
        const char *known = exception_name(e);
        const std::string name = std::string("irq.") + (known ? known : "exception" + std::to_string(e));
        char mean[32];
        std::snprintf(mean, sizeof mean, "%.1f", static_cast<double>(total) / static_cast<double>(count));
        s.emplace_back(name + ".count", std::to_string(count));
        s.emplace_back(name + ".cycles_max", std::to_string(max));
        s.emplace_back(name + ".cycles_mean", mean);
    }
    s.emplace_back("adc.overruns", std::to_string(adc_.overruns()));
    s.emplace_back("usart.overruns", std::to_string(usart_.overruns()));
    const Cycles stall = chip_ ? chip_->flash_stall_cycles() : flash_stall_cycles_;
    s.emplace_back("flash.stall_cycles", std::to_string(stall));
    return s;
}

Board::PollState &Board::poll_state() { return poll_states_[active_.size()]; }

void Board::skip_to_next_event()
{
    if (!sched_.has_events()) {
        throw BoardError("the firmware waits for an event that can never come, at " + std::to_string(sched_.now()) +
                         " cycles");
    }
    sched_.advance_to_next_event();
}

void Board::after_read(const void *site, std::uint32_t address, std::uint32_t value)
{
    PollState &p = poll_state();
    if (p.site == site && p.address == address && p.value == value) {
        if (++p.repeats >= kPollRepeats) skip_to_next_event();
    } else {
        p = PollState{site, address, value, 0};
    }
}

std::uint32_t Board::read(std::uint32_t address, unsigned size, const void *site)
{
    boundary();
    if (active_.empty()) main_loop_waiting_ = false;
    const Mapping &m = map(address);
    const std::uint32_t value = clocked(m) ? m.device->read(address - m.base, size) : 0;
    after_read(site, address, value);
    maybe_pause();
    return value;
}

void Board::write(std::uint32_t address, std::uint32_t value, unsigned size)
{
    boundary();
    if (active_.empty()) main_loop_waiting_ = false;
    poll_state() = PollState{};
    const Mapping &m = map(address);
    if (clocked(m)) m.device->write(address - m.base, value, size);
    stall_while_flash_busy();
    maybe_pause();
}

void Board::wait_hint(const volatile void *watched)
{
    // The loop polls a 32-bit word; it ends as soon as that word changes.
    const volatile std::uint32_t *word = static_cast<const volatile std::uint32_t *>(watched);
    const std::uint32_t before = *word;
    take_interrupts();
    if (*word != before) {
        maybe_pause();
        return;
    }
    if (active_.empty() && word == parts_->line_flag) {
        main_loop_waiting_ = true;
        if (idle_hook_) idle_hook_();
        maybe_pause();
        if (*word != before) return;
    }
    skip_to_next_event();
    take_interrupts();
    maybe_pause();
}

} // namespace sim
