#include "board/board.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace sim {

namespace {

static_assert(Rcc::kAhbenr == kRccAhbenr && Rcc::kApb2enr == kRccApb2enr && Rcc::kApb1enr == kRccApb1enr,
              "the map's clock gates are the RCC model's registers");
static_assert(kExceptionCount == kIrqBase + kIrqCount, "one exception per interrupt line");

std::string hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::unique_ptr<Dut> thru_if_none(std::unique_ptr<Dut> dut) { return dut ? std::move(dut) : make_constant(1.0); }

} // namespace

Board::Board(BoardSetup setup, const CpuFactory &make_cpu)
    : flash_(sched_, std::move(setup.settings_store), setup.store_region),
      si5351_(gpiof_, setup.synth_xtal_hz),
      analog_(si5351_, thru_if_none(std::move(setup.dut)), setup.noise, setup.seed)
{
    // Each block of the chip's map and the model that serves it.
    const std::array<Peripheral *, kBlocks.size()> devices = {
        &rcc_, &flash_.regs(), &flash_.page(), &gpioa_, &gpiof_,      &usart_,
        &adc_, &tim3_,         &systick_,      &nvic_,  &nvic_.scb(),
    };
    for (std::size_t i = 0; i < kBlocks.size(); ++i) {
        const ClockGate &clock = kBlocks[i].clock;
        const bool gated = clock.rcc_offset != 0;
        mappings_.push_back({kBlocks[i].base, kBlocks[i].size, devices[i],
                             gated ? &rcc_.reg(clock.rcc_offset) : &kAlwaysOn, gated ? 1u << clock.bit : 1u});
    }
    last_mapping_ = &mappings_.front();
    // The ADC's flags and data in every conversion's handler, the SysTick
    // counter in the firmware's delays; the rest in the map's order.
    std::size_t next = 0;
    for (const BlockId hot : {BlockId::Adc, BlockId::SysTickTimer}) {
        search_order_[next++] = &mappings_[static_cast<std::size_t>(hot)];
    }
    for (const Mapping &m : mappings_) {
        if (std::find(search_order_.begin(), search_order_.begin() + next, &m) == search_order_.begin() + next) {
            search_order_[next++] = &m;
        }
    }
    gpio_mappings_ = {mappings_[static_cast<std::size_t>(BlockId::Gpioa)],
                      mappings_[static_cast<std::size_t>(BlockId::Gpiof)]};
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
    if (!setup.program.empty()) flash_.load_program(setup.program.data(), setup.program.size());
    cpu_ = make_cpu(*this);
}

Board::~Board()
{
    cpu_.reset(); // the CPU goes first: it may still hold on to the models
}

bool Board::run_until(const std::function<bool()> &done, Cycles max_cycles, DoneReads reads)
{
    pause_requested_ = false;
    struct Restore {
        DoneReads &reads;
        DoneReads before;
        ~Restore() { reads = before; }
    } restore{done_reads_, done_reads_};
    done_reads_ = reads;
    return cpu_->run_until(done, sched_.now() + max_cycles);
}

void Board::run_for(Cycles cycles)
{
    // The time `done` reads is the run's own limit, which every CPU keeps
    // to the access: it need not be tested after quiet stores.
    const Cycles end = sched_.now() + cycles;
    run_until([this, end] { return sched_.now() >= end; }, cycles, DoneReads::BoardState);
}

const Board::Mapping &Board::find_mapping(std::uint32_t address)
{
    for (const Mapping *m : search_order_) {
        if (address - m->base < m->size) {
            last_mapping_ = m;
            return *m;
        }
    }
    throw BoardError("access to unmapped address " + hex(address));
}

std::uint32_t Board::inspect(std::uint32_t address, unsigned size)
{
    const Mapping &m = map(address);
    return clocked(m) ? m.device->read(address - m.base, size) : 0;
}

void Board::reset_devices()
{
    for (auto &m : mappings_) m.device->reset();
}

bool Board::peek(std::uint32_t address, unsigned size, std::uint32_t &value)
{
    for (const auto &m : mappings_) {
        if (address - m.base >= m.size) continue;
        if (!clocked(m)) {
            value = 0;
            return true;
        }
        return m.device->peek(address - m.base, size, value);
    }
    return false;
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

} // namespace sim
