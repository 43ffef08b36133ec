/* Si5351A synthesizer: software two-wire bus, register layer, frequency planner. */
#ifndef SI5351A_H
#define SI5351A_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 7-bit bus address of the synthesizer. */
#define SI5351_ADDRESS 0x60

/* PLL reset bits of register 177, as returned by set_freq. */
#define SI5351_RESET_PLLA 0x20
#define SI5351_RESET_PLLB 0x80

/* PLL window and target, Hz. */
extern uint32_t VCOFreq_Max, VCOFreq_Min, VCOFreq_Mid;
/* Drive-strength codes 0..3 of outputs 0, 1, 2. */
extern uint8_t power0, power1, power2;
/* Last requested frequency of each output, Hz; 0 is off. */
extern uint32_t freq0, freq1, freq2;
/* Integer MultiSynth divider last written; 0 off, 1 for output 2's fractional plan. */
extern uint16_t freq0_div, freq1_div, freq2_div;
/* R-divider exponent last written with that divider. */
extern uint8_t freq0_rdiv, freq1_rdiv, freq2_rdiv;
/* Crystal frequency in tenths of a hertz. */
extern uint32_t xtal_freq;
/* PLL B frequency last planned for output 1, Hz. */
extern uint32_t freq_pll_b;
/* Outputs (bit n for output n) routed to the crystal by out_calibrate_freq
   and not yet given back their MultiSynth. */
extern uint8_t clk_on_xtal;

/* Two-wire bus on PF0 (clock) and PF1 (data); the master only writes. */
uint8_t  i2cStart(void);
uint32_t i2c_write(uint8_t data);
void     i2c_end(void);
uint32_t i2c_begin_write(uint8_t addr);

/* Register layer. */
void si5351_write_reg(uint8_t reg, uint8_t data);
void si5351_write_regs(uint8_t synth, uint32_t P1, uint32_t P2, uint32_t P3, uint8_t rDiv, uint8_t divby4);
void si5351_setup_msynth(uint8_t synth, uint8_t a, uint32_t b, uint32_t c, uint8_t rDiv);
void si5351_setup_msynth_int(uint8_t synth, uint32_t divider, uint8_t rDiv);
void disable_out(uint8_t clk_num);
void setup(uint8_t _power0, uint8_t _power1, uint8_t _power2);
void out_calibrate_freq(void);

/* Frequency planner. */
uint8_t set_freq(uint32_t f0, uint32_t f1, uint32_t f2);
void    set_xtal_freq(uint32_t freq, uint8_t reset_pll);
uint8_t is_freq_ok(uint8_t clk_num);
void    update_freq0(uint8_t *need_reset_pll);
void    update_freq12(uint8_t freq1_changed, uint8_t *need_reset_pll);

#ifdef __cplusplus
}
#endif

#endif
