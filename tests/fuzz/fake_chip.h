// Just enough of the chip for the firmware's receiver and interpreter to run
// at full speed inside a fuzzer: the firmware's host build reaches it through
// the same seam as the virtual board (host_port.h), but nothing here keeps
// time. Waits end at once: the SysTick wrap flag is always set, the flash
// interface is never busy, oscillators and calibration are ready when asked,
// and a measurement finishes as soon as the firmware waits for it, with the
// detector fed a 1 kHz tone. Every register this file does not name is plain
// memory; an address outside the blocks the virtual board maps fails.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "board/peripherals/memory_map.h"
#include "host_port.h"

namespace snt_fuzz {

// Thrown out of a register access to end the input early: the firmware is
// left wherever it was, and the next input starts from a saved state.
struct WorkLimitReached {};

// Thrown from the main loop's first wait at start-up.
struct ReachedMainLoop {};

// Bytes that reach the receiver while a command runs: one step of the host's
// stream every so many register accesses of the firmware.
class LineDuringCommands {
public:
    virtual void deliver_next() = 0;

protected:
    ~LineDuringCommands() = default;
};

// Prints what went wrong and aborts, which the fuzzer reports as a crash.
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

class FakeChip final : public snt_host::Port {
public:
    // USART ISR bits
    static constexpr std::uint32_t kFE = 1u << 1, kNE = 1u << 2, kORE = 1u << 3, kIDLE = 1u << 4, kRXNE = 1u << 5,
                                   kTC = 1u << 6, kTXE = 1u << 7, kCMF = 1u << 17;
    static constexpr std::uint32_t kPageAddress = sim::kSettingsPageBase;
    static constexpr std::size_t kPageSize = 1024;
    using Page = std::array<std::uint8_t, kPageSize>;

    // The register blocks the virtual board maps (the chip's map: RCC, flash
    // interface, GPIOA, GPIOF, USART1, ADC, TIM3, SysTick, NVIC, SCB; the
    // settings page is served apart).
    static constexpr std::uint32_t kBlockSize = 0x400; // the largest block

    // What the chip holds; copied whole to save and restore it.
    struct State {
        // Registers that are plain memory, by block and word.
        std::array<std::array<std::uint32_t, kBlockSize / 4>, sim::kBlocks.size()> plain{};
        std::uint32_t odr_a = 0, odr_f = 0;
        std::uint32_t usart_cr1 = 0, usart_cr3 = 0, usart_isr = 0, usart_rdr = 0;
        std::uint32_t flash_cr = 0x80, flash_sr = 0; // locked at reset
        bool key1_seen = false;
        Page page{};
    };

    FakeChip();

    State &state() { return state_; }
    const Page &page() const { return state_.page; }
    std::uint32_t page_word0() const;

    // ---- the far end of the serial line
    // A byte arrives: lost with an overrun while the last one is unread.
    // Returns false when it was lost.
    bool receive(std::uint8_t byte);
    // Receiver error flags (kFE, kNE, kORE, kIDLE, kCMF) raised by the line.
    void raise_flags(std::uint32_t flags);
    // Runs the receive interrupt while it is pending, as the core would;
    // one that stays pending is an interrupt storm and fails.
    void serve_usart();
    // Bytes the firmware transmitted since the last take_output().
    std::string take_output();

    // ---- limits of one input
    // Starts counting accesses: the input ends (WorkLimitReached, in thread
    // mode only) once `budget` accesses have passed while `may_cut` holds.
    void start_input(std::uint64_t budget);
    void set_may_cut(bool may_cut) { may_cut_ = may_cut; }
    std::uint64_t accesses() const { return accesses_; }
    bool over_budget() const { return accesses_ >= budget_; }
    // Peak amplitude of the tone the detector sees, in ADC counts.
    void set_tone_amplitude(int counts) { tone_amplitude_ = counts; }

    // Thrown from the main loop's wait for a line (start-up only).
    void set_stop_at_main_loop(bool stop) { stop_at_main_loop_ = stop; }
    // While set, `line` gets a turn every `every` accesses in thread mode.
    void set_line_during_commands(LineDuringCommands *line, unsigned every)
    {
        line_ = line;
        line_every_ = every;
        line_countdown_ = every;
    }

    // ---- snt_host::Port
    std::uint32_t read(std::uint32_t address, unsigned size, const void *site) override;
    void write(std::uint32_t address, std::uint32_t value, unsigned size) override;
    void wait_hint(const volatile void *watched) override;

private:
    // The plain cell at a word address; an address outside every block
    // fails, as it stops the virtual board.
    std::uint32_t &plain(std::uint32_t address);
    std::uint32_t read_register(std::uint32_t address);
    void write_register(std::uint32_t address, std::uint32_t value, unsigned size);
    void write_flash_interface(std::uint32_t offset, std::uint32_t value);
    void program_page(std::uint32_t address, std::uint32_t value, unsigned size);
    bool usart_irq_pending() const;
    void count_access();
    void finish_measurement();

    State state_;
    std::string output_;
    std::uint64_t accesses_ = 0, budget_ = ~std::uint64_t{0};
    bool may_cut_ = false;
    int handler_depth_ = 0;
    bool stop_at_main_loop_ = false;
    int tone_amplitude_ = 1500;
    bool adc_sample_ready_ = false;
    std::uint32_t adc_sample_ = 0;
    unsigned tone_phase_ = 0;
    std::array<double, 16> tone_{};
    LineDuringCommands *line_ = nullptr;
    unsigned line_every_ = 0, line_countdown_ = 0;
};

} // namespace snt_fuzz
