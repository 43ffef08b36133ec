// The Si5351A clock synthesizer on the two-wire bus (PF0 = SCL, PF1 = SDA),
// as the firmware programs it: a register file written over the bus, and the
// output frequencies that follow from it.
//
// What is modelled
// - The bus slave at address 0x60, write transfers only: the first byte after
//   the address sets the register address, every further byte is stored there
//   and the address moves on by one (255 wraps to 0). The device acknowledges
//   its address and every byte it takes by pulling SDA low for the 9th clock.
//   Other addresses are neither acknowledged nor acted on. A start or a stop
//   ends a transfer. A read address (0xC1) is acknowledged, but the device
//   then sends nothing (SDA stays released, the master reads 0xFF).
// - Register 0 (device status) is read-only: writes to it are dropped.
// - Register 177 (PLL reset): PLLA_RST (bit 5) and PLLB_RST (bit 7) clear
//   themselves on the chip; the model counts them per PLL and does not keep
//   them. A reset takes effect at once: there is no lock time.
// - Frequencies, computed from the registers whenever asked:
//     PLL (feedback MultiSynth NA/NB, registers 26..33 / 34..41):
//       fVCO = fXTAL * (P1 + 512 + P2/P3) / 128
//     output MultiSynth n (registers 42 + 8n .. 49 + 8n):
//       divider = (P1 + 512 + P2/P3) / 128, or 4 with MSn_DIVBY4 = 11
//     CLKn source (CLKn_SRC, control register 16 + n, bits 3..2):
//       00 crystal (needs XO_FANOUT_EN), 01 CLKIN (no such pin on the
//       Si5351A: nothing), 10 MultiSynth 0 (needs MS_FANOUT_EN),
//       11 MultiSynth n; the MultiSynth's PLL is MSn_SRC (bit 5 of its own
//       control register)
//     then the R divider of output n (Rn_DIV, 2^0..2^7), which follows the
//     source selector and so also divides the crystal.
//   A control register with CLKn_PDN set (bit 7) gives 0 Hz.
//   A P3 of 0 makes the PLL or MultiSynth invalid: 0 Hz.
//
// What is not modelled
// - Integer mode (FBx_INT, MSn_INT) only changes jitter on the chip; the
//   fraction is always used here.
// - Limits: a VCO outside 600..900 MHz or a MultiSynth divider outside its
//   range is still computed as written (pll_in_range() tells the VCO case).
// - Output enable (register 3) does not change output_hz(); output_enabled()
//   reports it. Disable states, inversion, drive strength, phase offsets,
//   SSC modulation (registers 149..161), the VCXO of the Si5351B, the CLKIN
//   input and PLL source selection of the Si5351C, MultiSynth 6 and 7,
//   status and interrupt bits, and reading registers back.
//
// Power-up register values: CLKn control registers 16..23 = 0x80 (powered
// down); register 183 = 0xD2 (crystal load 10 pF, the chip's default, with
// the reserved low bits as they are to be written); everything else 0,
// including output enable (register 3: all enabled) and fanout enable
// (register 187: crystal and MultiSynth 0 fanout off).
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "board/bench/two_wire.h"
#include "board/peripherals/gpio.h"
#include "protocol.h"

namespace sim {

class Si5351Model final : private TwoWireListener {
public:
    static constexpr std::uint8_t kAddress = 0x60; // 7-bit; 0xC0 writes, 0xC1 reads

    // Register numbers the model gives a meaning to.
    static constexpr int kOutputEnable = 3;
    static constexpr int kClkControl = 16;     // + n, n = 0..7
    static constexpr int kPllABase = 26;       // MSNA, 8 registers
    static constexpr int kPllBBase = 34;       // MSNB, 8 registers
    static constexpr int kMultiSynthBase = 42; // + 8n, n = 0..5, 8 registers each
    static constexpr int kPllReset = 177;
    static constexpr int kXtalLoad = 183;
    static constexpr int kFanoutEnable = 187;
    // Bits
    static constexpr std::uint8_t kClkPdn = 0x80, kMsSrcPllB = 0x20;
    static constexpr std::uint8_t kPllAReset = 0x20, kPllBReset = 0x80;
    static constexpr std::uint8_t kXoFanoutEn = 0x40, kMsFanoutEn = 0x10;

    // Attaches to the bus pins of `port`; the board's pull-ups are already
    // there. The model must live as long as the port.
    explicit Si5351Model(Gpio &port, double xtal_hz = XTAL_DEFAULT);
    ~Si5351Model() override = default;
    Si5351Model(const Si5351Model &) = delete;
    Si5351Model &operator=(const Si5351Model &) = delete;

    // ---- registers
    std::uint8_t reg(int n) const { return regs_.at(static_cast<std::size_t>(n)); }
    // PLL resets requested through register 177 (pll 0 = A, 1 = B).
    int pll_resets(int pll) const;
    // Called after every register the device stores from the bus, from
    // inside the firmware's store to a bus pin, where the board's time may
    // lag behind the CPU's (Gpio::ListenerKind::BusDevice): `cb` must not
    // read the time or change anything on the board.
    void on_register_write(std::function<void(int reg, std::uint8_t value)> cb) { on_write_ = std::move(cb); }

    // ---- the crystal
    void set_xtal_hz(double hz)
    {
        xtal_hz_ = hz;
        ++revision_;
    }
    double xtal_hz() const { return xtal_hz_; }

    // ---- frequencies in Hz, from the present register values
    // Counts register stores and crystal changes: the frequencies below
    // stay the same as long as it does.
    std::uint64_t revision() const { return revision_; }
    // VCO of PLL A (0) or B (1); 0 when P3 is 0.
    double pll_hz(int pll) const;
    // Whether that VCO is within the chip's 600..900 MHz.
    bool pll_in_range(int pll) const;
    // Output of MultiSynth n (0..2), before the R divider; 0 when invalid.
    double multisynth_hz(int n) const;
    // CLKn (0..2) as it leaves the chip, apart from output enable.
    double output_hz(int clk) const;
    // CLKn_OEB (register 3) clear.
    bool output_enabled(int clk) const;

    // ---- faults for tests
    // Off: the device ignores the bus altogether (no acknowledge, no writes),
    // from the next frame on.
    void set_acknowledge(bool on) { listening_ = on; }
    // Pulls SDA low now and lets go after `clocks` more clock pulses, as a
    // device stuck in the middle of sending a byte does: it is released on
    // the `clocks`-th falling edge of SCL from now (a transmitting device
    // changes SDA while SCL is low; letting go while SCL is high would be a
    // stop condition), so a master that pulses the clock and then samples
    // the line sees it free after `clocks` pulses. 0 releases at once; a
    // negative count holds until release_sda().
    void hold_sda_low(int clocks);
    void hold_sda_low_forever() { hold_sda_low(-1); }
    void release_sda();
    bool holding_sda() const { return holding_; }

private:
    enum class State { Idle, Address, RegisterAddress, Data, Reading, Ignoring };

    void on_start() override;
    void on_stop() override;
    void on_byte(std::uint8_t value, bool acked) override;
    void on_scl_fall(int bit) override;

    void store(int n, std::uint8_t value);
    void drive_sda();
    double divider(int base, bool allow_divby4) const;
    static void check_clk(int clk);

    Gpio &port_;
    TwoWireDecoder decoder_;
    double xtal_hz_;
    std::array<std::uint8_t, 256> regs_{};
    std::array<int, 2> pll_resets_{};
    std::uint64_t revision_ = 0;
    std::function<void(int, std::uint8_t)> on_write_;

    State state_ = State::Idle;
    std::uint8_t pointer_ = 0;
    bool listening_ = true;
    bool acking_ = false;    // pulling SDA low for the acknowledge clock
    bool take_byte_ = false; // the frame in progress is acknowledged by us
    bool holding_ = false;   // stuck, from hold_sda_low()
    int hold_clocks_ = 0;    // pulses still to come; negative: for ever
    bool sda_driven_ = false;
};

} // namespace sim
