// The virtual board: the chip's peripherals, the synthesizer and the analog
// front end wired together in virtual time, and a CPU that runs the firmware
// on them (board/cpu/cpu.h: the firmware's host build or the chip image on
// the Cortex-M0 core).
//
// Portable: the board reads no file and keeps no thread. What it needs from
// outside comes in made (the device under test, the store of the settings
// page, the CPU), and what it shows leaves through callbacks (serial bytes,
// pin changes, bus transactions, guest errors).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "board/bench/analog.h"
#include "board/bench/dut.h"
#include "board/bench/si5351.h"
#include "board/cpu/cpu.h"
#include "board/peripherals/adc.h"
#include "board/peripherals/flash.h"
#include "board/peripherals/flash_store.h"
#include "board/peripherals/gpio.h"
#include "board/peripherals/guest_error.h"
#include "board/peripherals/memory_map.h"
#include "board/peripherals/nvic.h"
#include "board/peripherals/rcc.h"
#include "board/peripherals/scheduler.h"
#include "board/peripherals/systick.h"
#include "board/peripherals/tim.h"
#include "board/peripherals/usart.h"
#include "protocol.h"

namespace sim {

// The firmware did something the board cannot go on from.
class BoardError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What goes on the board besides its CPU.
struct BoardSetup {
    // The synthesizer's real crystal, which may differ from the value the
    // firmware has stored for it.
    double synth_xtal_hz = XTAL_DEFAULT;
    // What is connected between output 1 and the mixer; nullptr: a thru.
    std::unique_ptr<Dut> dut;
    // Noise on PA0: standard deviation in ADC counts, and the seed of its
    // sequence (board/bench/analog.h).
    double noise = AnalogFrontEnd::kDefaultNoise;
    std::uint64_t seed = 1;
    // Where the settings page is kept; nullptr: in memory, starting erased.
    // With store_region WholeFlash the store keeps all 16 KB of flash, the
    // image and the settings page (a rom file).
    std::unique_ptr<FlashStore> settings_store;
    Flash::Region store_region = Flash::Region::SettingsPage;
    // An image to put into pages 0 to 14 before the CPU starts, as a
    // programmer would (the settings page is left alone); empty: the flash
    // holds what the store gives, or nothing.
    std::vector<std::uint8_t> program;
};

class Board : private GuestErrorSink {
public:
    // Builds the models, then the CPU with `make_cpu`. Throws what the
    // store or the CPU's factory throws.
    Board(BoardSetup setup, const CpuFactory &make_cpu);
    virtual ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    Scheduler &scheduler() { return sched_; }
    Cycles now() const { return sched_.now(); }
    Nvic &nvic() { return nvic_; }
    const Nvic &nvic() const { return nvic_; }
    SysTick &systick() { return systick_; }
    Usart &usart() { return usart_; }
    const Usart &usart() const { return usart_; }
    Gpio &gpioa() { return gpioa_; }
    Gpio &gpiof() { return gpiof_; }
    Rcc &rcc() { return rcc_; }
    Adc &adc() { return adc_; }
    const Adc &adc() const { return adc_; }
    Timer &tim3() { return tim3_; }
    AnalogFrontEnd &analog() { return analog_; }
    Si5351Model &si5351() { return si5351_; }
    Flash &flash() { return flash_; }
    const Flash &flash() const { return flash_; }
    Cpu &cpu() { return *cpu_; }
    const Cpu &cpu() const { return *cpu_; }

    // The chip's peripherals start over as at power-on (a debugger's reset;
    // the CPU resets itself). The world around the chip keeps its state.
    void reset_devices();

    // ---- running the firmware from reset
    // What a run's `done` reads, so that a CPU knows when it must test it.
    enum class DoneReads : std::uint8_t {
        // Anything, the time and the access count among it: tested after
        // every access.
        Anything,
        // Only what an event, an interrupt or a register access other than
        // a store to the output data of a GPIO port that nobody but bus
        // devices listens to can change (a line sent, the firmware idle, the
        // flash programmed): not the time, the access count, the firmware's
        // memory, the state of a bus device (Gpio::ListenerKind::BusDevice,
        // the synthesizer) or the ADC's end of conversion and interrupt line,
        // which a read of its data clears. The host build then need not test
        // it after such stores and reads of the ADC.
        BoardState,
    };
    // Runs the CPU until `done` holds or `max_cycles` of virtual time have
    // passed; true when `done` held. Later calls continue where it paused.
    bool run_until(const std::function<bool()> &done, Cycles max_cycles, DoneReads reads = DoneReads::Anything);
    void run_for(Cycles cycles);
    // Runs until the firmware waits in its main loop with no line pending and
    // the transmitter empty.
    bool run_until_idle(Cycles max_cycles)
    {
        return run_until([this] { return firmware_idle(); }, max_cycles, DoneReads::BoardState);
    }
    // What the `done` of the run under way reads.
    DoneReads done_reads() const { return done_reads_; }
    bool firmware_idle() const { return cpu_->waiting_for_line() && usart_.tx_idle(); }
    // Asks a running CPU to pause at its next instruction boundary (from a
    // callback).
    void request_pause() { pause_requested_ = true; }

    // Called each time the firmware's main loop waits for a line.
    void set_idle_hook(std::function<void()> hook) { idle_hook_ = std::move(hook); }

    // A register access from outside the firmware (tests, tools): the
    // device's own side effects happen, but no time passes and no interrupt
    // is taken. A peripheral whose clock is off reads 0 and ignores writes;
    // an unmapped address throws BoardError.
    std::uint32_t inspect(std::uint32_t address, unsigned size = 4);
    void poke(std::uint32_t address, std::uint32_t value, unsigned size = 4);
    // A debugger's read: what inspect() gives, with no side effect at all
    // (Peripheral::peek). False for an unmapped address or an offset its
    // device does not implement.
    bool peek(std::uint32_t address, unsigned size, std::uint32_t &value);

    // ---- guest errors: accesses to register offsets a device does not
    // implement (the read gives 0, the write is dropped), from either CPU or
    // through inspect() and poke()
    // Hears the first guest error of each register; later ones are only
    // counted. Without a handler every guest error stops the board: the
    // access throws BoardError with the error's description.
    void set_guest_error_handler(std::function<void(const GuestError &)> handler)
    {
        guest_error_handler_ = std::move(handler);
    }
    // The first guest error of each register, in the order they came.
    const std::vector<GuestError> &guest_errors() const { return guest_errors_.first_of_each_register(); }
    std::uint64_t guest_error_count() const { return guest_errors_.count(); }

    // ---- for the CPU
    // The firmware's access to a register or the settings page, at the
    // board's current time: as inspect() and poke(). The CPU lets the time
    // pass that the access takes.
    // Inline: both CPUs make every register access through them.
    std::uint32_t cpu_read(std::uint32_t address, unsigned size)
    {
        const Mapping &m = map(address);
        return clocked(m) ? m.device->read(address - m.base, size) : 0;
    }
    void cpu_write(std::uint32_t address, std::uint32_t value, unsigned size)
    {
        const Mapping &m = map(address);
        if (clocked(m)) m.device->write(address - m.base, value, size);
    }
    // True when the word store of `value` at `address` only sets or resets
    // GPIO output latches that nothing watches (Gpio::plain_output_store).
    bool plain_output_store(std::uint32_t address, std::uint32_t value) const
    {
        if (address - kGpioaBase < block(BlockId::Gpioa).size)
            return gpioa_.plain_output_store(address - kGpioaBase, value);
        if (address - kGpiofBase < block(BlockId::Gpiof).size)
            return gpiof_.plain_output_store(address - kGpiofBase, value);
        return false;
    }
    // A write to a GPIO port's output data (Gpio::is_output_data): what
    // cpu_write() does, without the map's search and the device's virtual
    // call. False, with nothing done, for any other register.
    bool cpu_write_output_data(std::uint32_t address, std::uint32_t value)
    {
        for (const Mapping &m : gpio_mappings_) {
            const std::uint32_t offset = address - m.base;
            if (offset < m.size) {
                if (!Gpio::is_output_data(offset)) return false;
                if (clocked(m)) static_cast<Gpio *>(m.device)->write_output_data(offset, value);
                return true;
            }
        }
        return false;
    }
    // cpu_write_output_data() to a port nobody listens to: such a write
    // stores ODR and nothing else, so it has no effect on time, interrupts
    // or anything the board shows. False, with nothing done, for any other
    // write (to a port that is listened to, to another register).
    bool cpu_write_quiet_output(std::uint32_t address, std::uint32_t value)
    {
        for (const Mapping &m : gpio_mappings_) {
            const std::uint32_t offset = address - m.base;
            if (offset < m.size) {
                Gpio &port = *static_cast<Gpio *>(m.device);
                if (!Gpio::is_output_data(offset) || port.listened()) return false;
                if (clocked(m)) port.store_output_data(offset, value);
                return true;
            }
        }
        return false;
    }
    // The output latch of GPIOA (0) or GPIOF (1) while a word store to its
    // output data would do nothing but change it (cpu_write_quiet_output):
    // the port is clocked and nobody listens to it. nullptr otherwise.
    std::uint32_t *quiet_output_latch(std::size_t port)
    {
        const Mapping &m = gpio_mappings_[port];
        Gpio &gpio = *static_cast<Gpio *>(m.device);
        return clocked(m) && !gpio.listened() ? gpio.output_latch() : nullptr;
    }
    // GPIOA (0) or GPIOF (1) while a word store to its output data
    // (Gpio::write_output_data) changes nothing but the port and the bus
    // devices that listen to it, which keep no time: the port is clocked and
    // only bus devices, if any, listen to it. nullptr otherwise.
    Gpio *bus_output_port(std::size_t port)
    {
        const Mapping &m = gpio_mappings_[port];
        Gpio &gpio = *static_cast<Gpio *>(m.device);
        return clocked(m) && gpio.only_bus_devices_listen() ? &gpio : nullptr;
    }
    // The ADC while its registers can be read (Adc::status_word, data_word):
    // it is clocked. nullptr otherwise.
    Adc *readable_adc() { return clocked(mappings_[static_cast<std::size_t>(BlockId::Adc)]) ? &adc_ : nullptr; }
    // A pause has been asked for and not yet taken.
    bool pause_requested() const { return pause_requested_; }
    // True once after request_pause(): the CPU then returns from run_until.
    bool take_pause_request()
    {
        const bool requested = pause_requested_;
        pause_requested_ = false;
        return requested;
    }
    // The firmware's main loop has begun to wait for a line.
    void main_loop_waits()
    {
        if (idle_hook_) idle_hook_();
    }

private:
    struct Mapping {
        std::uint32_t base, size;
        Peripheral *device;
        // The block's clock gate: the RCC's enable register (or a word that
        // is always on) and its bit.
        const std::uint32_t *gate;
        std::uint32_t gate_bit;
    };

    const Mapping &map(std::uint32_t address)
    {
        // Runs of accesses mostly stay on one device (the bus pins, a polled flag).
        if (address - last_mapping_->base < last_mapping_->size) return *last_mapping_;
        return find_mapping(address);
    }
    const Mapping &find_mapping(std::uint32_t address);
    static bool clocked(const Mapping &m) { return (*m.gate & m.gate_bit) != 0; }
    void guest_error(const GuestError &e) override;

    Scheduler sched_;
    Nvic nvic_;
    SysTick systick_{sched_, nvic_};
    Usart usart_{sched_, nvic_, kUsart1Irq};
    Gpio gpioa_{'A', kGpioaReset.moder, kGpioaReset.pupdr};
    Gpio gpiof_{'F', kGpiofReset.moder, kGpiofReset.pupdr};
    Rcc rcc_{sched_};
    Adc adc_{sched_, nvic_, kAdcIrq};
    Flash flash_;
    Timer tim3_{"TIM3", sched_, nvic_, kTim3Irq};
    std::vector<Mapping> mappings_;
    const Mapping *last_mapping_ = nullptr; // never null once built
    // mappings_ in the order find_mapping() tries them: the blocks the
    // firmware reads most often between accesses to others first.
    std::array<const Mapping *, kBlocks.size()> search_order_{};
    std::array<Mapping, 2> gpio_mappings_{}; // GPIOA's and GPIOF's, as in mappings_
    static constexpr std::uint32_t kAlwaysOn = 1;
    Si5351Model si5351_;
    AnalogFrontEnd analog_;

    bool pause_requested_ = false;
    DoneReads done_reads_ = DoneReads::Anything;
    std::function<void()> idle_hook_;
    GuestErrorLog guest_errors_;
    std::function<void(const GuestError &)> guest_error_handler_;
    std::unique_ptr<Cpu> cpu_; // last: made when every model exists, gone before any
};

} // namespace sim
