// The virtual board: the firmware's host build wired to models of the
// chip's peripherals, in virtual time.
//
// Every register access of the firmware costs a few core cycles, lets the
// events that have come due run, and is an instruction boundary at which
// pending interrupts are taken with the core's priorities and nesting. A
// busy-wait that can only end on an event skips straight to that event.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "board/bench/analog.h"
#include "board/bench/si5351.h"
#include "board/peripherals/adc.h"
#include "board/peripherals/flash.h"
#include "board/peripherals/gpio.h"
#include "board/peripherals/guest_error.h"
#include "board/peripherals/memory_map.h"
#include "board/peripherals/nvic.h"
#include "board/peripherals/rcc.h"
#include "board/peripherals/scheduler.h"
#include "board/peripherals/systick.h"
#include "board/peripherals/tim.h"
#include "board/peripherals/usart.h"
#include "host_port.h"
#include "protocol.h"
#include "shells/sim/cpu_thread.h"
#include "shells/sim/firmware_module.h"

namespace sim {

// The firmware did something the board cannot go on from.
class BoardError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a board is put together.
struct BoardOptions {
    std::string firmware = FirmwareModule::default_path();
    // The synthesizer's real crystal, which may differ from the value the
    // firmware has stored for it.
    double synth_xtal_hz = XTAL_DEFAULT;
    // File holding the settings page, byte for byte; empty: kept in memory.
    std::string flash_file;
    // What is connected between output 1 and the mixer (board/bench/dut_text.h).
    std::string dut = "thru";
    // Noise on PA0: standard deviation in ADC counts, and the seed of its
    // sequence (board/bench/analog.h).
    double noise = AnalogFrontEnd::kDefaultNoise;
    std::uint64_t seed = 1;
    // A chip image (ELF) to run on the board's Cortex-M0 core instead of the
    // firmware's host build; empty: the host build.
    std::string image;
};

constexpr int kAdcIrq = 12;
constexpr int kTim3Irq = 16;
constexpr int kUsart1Irq = 27;

class ChipCpu;

// What the board tells of a run: one name and one value a line.
using Statistics = std::vector<std::pair<std::string, std::string>>;

class Board final : public snt_host::Port, private GuestErrorSink {
public:
    // Core cycles one peripheral access takes.
    static constexpr Cycles kAccessCycles = 2;

    // Throws DutError for a device text it cannot use, and ImageError for a
    // chip image it cannot run.
    explicit Board(const BoardOptions &options = BoardOptions{});
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    Scheduler &scheduler() { return sched_; }
    Cycles now() const { return sched_.now(); }
    Nvic &nvic() { return nvic_; }
    SysTick &systick() { return systick_; }
    Usart &usart() { return usart_; }
    Gpio &gpioa() { return gpioa_; }
    Gpio &gpiof() { return gpiof_; }
    Rcc &rcc() { return rcc_; }
    Adc &adc() { return adc_; }
    Timer &tim3() { return tim3_; }
    AnalogFrontEnd &analog() { return analog_; }
    Si5351Model &si5351() { return si5351_; }
    Flash &flash() { return flash_; }
    // The host build of the firmware; throws BoardError when the board runs
    // a chip image instead.
    FirmwareModule &firmware();
    // The Cortex-M0 core running the chip image, or nullptr on the host build.
    ChipCpu *chip() { return chip_.get(); }

    // ---- running the firmware from reset
    // Runs main() until `done` holds or `max_cycles` of virtual time have
    // passed; true when `done` held. Later calls continue where it paused.
    bool run_until(const std::function<bool()> &done, Cycles max_cycles);
    void run_for(Cycles cycles);
    // Runs until the firmware waits in its main loop with no line pending and
    // the transmitter empty.
    bool run_until_idle(Cycles max_cycles)
    {
        return run_until([this] { return firmware_idle(); }, max_cycles);
    }
    bool firmware_idle() const;
    // Asks a running firmware to pause at its next access (from a callback).
    void request_pause() { pause_requested_ = true; }

    // Called each time the firmware's main loop waits for a line.
    void set_idle_hook(std::function<void()> hook) { idle_hook_ = std::move(hook); }

    std::uint64_t accesses() const { return accesses_; }

    // The run so far: cycles, instructions (on the core), every handler that
    // ran (irq.NAME.count, .cycles_max, .cycles_mean, NAME as in the vector
    // table), overruns of the ADC and the serial receiver, flash stalls.
    Statistics statistics() const;

    // A register access from outside the firmware (tests, tools, the core):
    // the device's own side effects happen, but no time passes and no
    // interrupt is taken. A peripheral whose clock is off reads 0 and ignores
    // writes; an unmapped address throws BoardError.
    std::uint32_t inspect(std::uint32_t address, unsigned size = 4);
    void poke(std::uint32_t address, std::uint32_t value, unsigned size = 4);

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

    // ---- snt_host::Port, called by the firmware module
    std::uint32_t read(std::uint32_t address, unsigned size, const void *site) override;
    void write(std::uint32_t address, std::uint32_t value, unsigned size) override;
    void wait_hint(const volatile void *watched) override;

private:
    friend class ChipCpu;

    struct HandlerFigures {
        std::uint64_t count = 0;
        Cycles cycles_max = 0, cycles_total = 0;
    };
    struct Mapping {
        std::uint32_t base, size;
        Peripheral *device;
        std::uint32_t enable_reg; // RCC register gating its clock, 0 for none
        unsigned enable_bit;
    };
    struct PollState {
        const void *site = nullptr;
        std::uint32_t address = 0, value = 0;
        int repeats = 0;
    };

    const Mapping &map(std::uint32_t address);
    bool clocked(const Mapping &m) const { return m.enable_reg == 0 || rcc_.enabled(m.enable_reg, m.enable_bit); }
    void boundary();
    void take_interrupts();
    int current_priority() const;
    PollState &poll_state();
    void after_read(const void *site, std::uint32_t address, std::uint32_t value);
    void skip_to_next_event();
    void maybe_pause();
    void stall_while_flash_busy();
    void guest_error(const GuestError &e) override;
    std::uint32_t bus_read(std::uint32_t address, unsigned size) { return inspect(address, size); }
    void bus_write(std::uint32_t address, std::uint32_t value, unsigned size) { poke(address, value, size); }

    Scheduler sched_;
    Nvic nvic_;
    SysTick systick_{sched_, nvic_};
    Usart usart_{sched_, nvic_, kUsart1Irq};
    Gpio gpioa_{'A', 0x28000000, 0x24000000};
    Gpio gpiof_{'F', 0, 0};
    Rcc rcc_{sched_};
    Adc adc_{sched_, nvic_, kAdcIrq};
    Flash flash_;
    Timer tim3_{"TIM3", sched_, nvic_, kTim3Irq};
    std::vector<Mapping> mappings_;
    const Mapping *last_mapping_ = nullptr;
    Si5351Model si5351_;
    AnalogFrontEnd analog_;

    std::unique_ptr<FirmwareModule> firmware_; // the host build, or
    std::unique_ptr<ChipCpu> chip_;            // the chip image on the core
    // What the host build handed over when the board attached: main, the
    // vectors, the main loop's line flag.
    const snt_host::Firmware *parts_ = nullptr;

    std::vector<int> active_;                // exceptions being handled, innermost last
    std::array<PollState, 8> poll_states_{}; // one per nesting depth
    bool main_loop_waiting_ = false;
    bool pause_requested_ = false;
    Cycles pause_at_ = 0;
    const std::function<bool()> *done_ = nullptr;
    std::function<void()> idle_hook_;
    std::uint64_t accesses_ = 0;
    Cycles flash_stall_cycles_ = 0;
    GuestErrorLog guest_errors_;
    std::function<void(const GuestError &)> guest_error_handler_;
    std::array<HandlerFigures, 48> handlers_{};
    std::unique_ptr<CpuThread> cpu_;
};

} // namespace sim
