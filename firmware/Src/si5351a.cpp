/* Si5351A synthesizer: software two-wire bus, register layer, frequency planner. */
#include "si5351a.h"

#include "stm32f0xx_ll_gpio.h"

/* ------------------------------------------------------------------ state */

uint32_t VCOFreq_Max = 800000000;
uint32_t VCOFreq_Min = 600000000;
uint32_t VCOFreq_Mid = 750000000;

uint8_t  power0, power1, power2;
uint32_t freq0, freq1, freq2;
uint16_t freq0_div, freq1_div, freq2_div;
uint8_t  freq0_rdiv, freq1_rdiv, freq2_rdiv;
uint32_t xtal_freq;
uint32_t freq_pll_b;
uint8_t  clk_on_xtal;

/* Register numbers. */
enum {
    REG_CLK0_CONTROL = 16,
    REG_MSNA         = 26,
    REG_MSNB         = 34,
    REG_MS0          = 42,
    REG_MS1          = 50,
    REG_MS2          = 58,
    REG_PLL_RESET    = 177,
    REG_FANOUT       = 187,
};

/* Control register values. */
enum {
    CLK_OFF          = 0x80,
    CLK_MS0_PLLA_INT = 0x4C, /* integer mode, PLL A, own MultiSynth */
    CLK_PLLB_INT     = 0x6C, /* integer mode, PLL B, own MultiSynth */
    CLK_PLLB         = 0x20,
    CLK_SRC_MS       = 0x0C,
    CLK_INT          = 0x40,
};

/* Denominator of every PLL feedback fraction. */
#define PLL_DENOM 1048575u
/* R dividers go up to 2^7 = 128: the chip's field has three bits. */
#define RDIV_MAX  7
#define BUS_WAIT  10

/* -------------------------------------------------------------- the bus */

/* One unit is a PA2 pulse: two peripheral writes, about half a microsecond
   at 8 MHz. PA2 is low afterwards. */
static inline void _delay_us(int32_t delay)
{
    while (delay-- > 0) {
        LL_GPIO_SetOutputPin(GPIOA, LL_GPIO_PIN_2);
        LL_GPIO_ResetOutputPin(GPIOA, LL_GPIO_PIN_2);
    }
}

static inline void     scl_release(void) { LL_GPIO_SetOutputPin(GPIOF, LL_GPIO_PIN_0); }
static inline void     scl_low(void) { LL_GPIO_ResetOutputPin(GPIOF, LL_GPIO_PIN_0); }
static inline void     sda_release(void) { LL_GPIO_SetOutputPin(GPIOF, LL_GPIO_PIN_1); }
static inline void     sda_low(void) { LL_GPIO_ResetOutputPin(GPIOF, LL_GPIO_PIN_1); }
static inline uint32_t sda_is_high(void) { return LL_GPIO_IsInputPinSet(GPIOF, LL_GPIO_PIN_1); }

/*
 * Start condition. A device left in the middle of a byte (after a reset of
 * ours, say) may hold the data line low: clock it out with up to eleven
 * pulses, sampling the line before each. If it is still held, give up
 * without a start; the caller's transaction runs anyway.
 */
uint8_t i2cStart(void)
{
    sda_release();
    _delay_us(BUS_WAIT);
    scl_release();
    _delay_us(BUS_WAIT);

    uint8_t count_e = 0;
    while (!sda_is_high()) {
        scl_low();
        _delay_us(BUS_WAIT);
        scl_release();
        _delay_us(BUS_WAIT);
        count_e++;
        if (count_e > 10) {
            return 1;
        }
    }

    sda_low();
    _delay_us(BUS_WAIT);
    scl_low();
    _delay_us(BUS_WAIT);
    return 1;
}

/* Eight bits, most significant first, then the acknowledge clock. Returns 1
   when the device pulled the data line low in it. Leaves both lines low. */
uint32_t i2c_write(uint8_t data)
{
    for (int bit = 0; bit < 8; bit++) {
        if (data & 0x80) {
            sda_release();
        } else {
            sda_low();
        }
        _delay_us(BUS_WAIT);
        scl_release();
        _delay_us(BUS_WAIT);
        scl_low();
        data = (uint8_t)(data << 1);
    }

    sda_release();
    _delay_us(BUS_WAIT);
    scl_release();
    _delay_us(BUS_WAIT);
    uint32_t ack = sda_is_high() ? 0 : 1;
    scl_low();
    sda_low();
    return ack;
}

/* Stop condition; leaves both lines released. */
void i2c_end(void)
{
    sda_low();
    _delay_us(BUS_WAIT);
    scl_release();
    _delay_us(BUS_WAIT);
    sda_release();
    _delay_us(BUS_WAIT);
}

uint32_t i2c_begin_write(uint8_t addr)
{
    i2cStart();
    return i2c_write((uint8_t)(addr << 1));
}

/* ---------------------------------------------------------- the registers */

void si5351_write_reg(uint8_t reg, uint8_t data)
{
    i2c_begin_write(SI5351_ADDRESS);
    i2c_write(reg);
    i2c_write(data);
    i2c_end();
}

/* One parameter block of eight registers from `synth`, in one transaction;
   the chip's address auto-increment places each byte. */
void si5351_write_regs(uint8_t synth, uint32_t P1, uint32_t P2, uint32_t P3, uint8_t rDiv, uint8_t divby4)
{
    i2c_begin_write(SI5351_ADDRESS);
    i2c_write(synth);
    i2c_write((uint8_t)(P3 >> 8));
    i2c_write((uint8_t)P3);
    i2c_write((uint8_t)(rDiv | ((P1 >> 16) & 0x03) | (divby4 ? 0x0C : 0)));
    i2c_write((uint8_t)(P1 >> 8));
    i2c_write((uint8_t)P1);
    i2c_write((uint8_t)(((P3 >> 12) & 0xF0) | ((P2 >> 16) & 0x0F)));
    i2c_write((uint8_t)(P2 >> 8));
    i2c_write((uint8_t)P2);
    i2c_end();
}

/* Divider a + b/c. */
void si5351_setup_msynth(uint8_t synth, uint8_t a, uint32_t b, uint32_t c, uint8_t rDiv)
{
    uint32_t t  = (128u * b) / c;
    uint32_t P1 = 128u * a + t - 512u;
    uint32_t P2 = 128u * b - c * t;
    si5351_write_regs(synth, P1, P2, c, rDiv, 0);
}

void si5351_setup_msynth_int(uint8_t synth, uint32_t divider, uint8_t rDiv)
{
    si5351_write_regs(synth, 128u * divider - 512u, 0, 1, rDiv, divider == 4 ? 1 : 0);
}

void disable_out(uint8_t clk_num)
{
    si5351_write_reg((uint8_t)(REG_CLK0_CONTROL + clk_num), CLK_OFF);
    clk_on_xtal &= (uint8_t) ~(1u << clk_num);
    if (clk_num == 0) {
        freq0_div = 0;
    } else if (clk_num == 1) {
        freq1_div = 0;
    } else {
        freq2_div = 0;
    }
}

/* All outputs off; the PLL target in the middle of the window. */
void setup(uint8_t _power0, uint8_t _power1, uint8_t _power2)
{
    power0 = _power0 & 3;
    power1 = _power1 & 3;
    power2 = _power2 & 3;
    si5351_write_reg(REG_CLK0_CONTROL, CLK_OFF);
    si5351_write_reg(REG_CLK0_CONTROL + 1, CLK_OFF);
    si5351_write_reg(REG_CLK0_CONTROL + 2, CLK_OFF);
    VCOFreq_Mid = (VCOFreq_Max + VCOFreq_Min) >> 1;
}

/*
 * The crystal straight to all three outputs, to be measured. The frequency
 * records take ten times the crystal frequency, above anything the planner
 * can set, so the next set_freq treats every output as changed; the
 * divider records stay, and the next plan of each output gives it its
 * MultiSynth back even where the divider is kept.
 */
void out_calibrate_freq(void)
{
    si5351_write_reg(REG_CLK0_CONTROL, power0);
    si5351_write_reg(REG_CLK0_CONTROL + 1, power1);
    si5351_write_reg(REG_CLK0_CONTROL + 2, power2);
    si5351_write_reg(REG_MS0 + 2, 0);
    si5351_write_reg(REG_MS1 + 2, 0);
    si5351_write_reg(REG_MS2 + 2, 0);
    si5351_write_reg(REG_FANOUT, 0xD0);
    freq0       = xtal_freq;
    freq1       = xtal_freq;
    freq2       = xtal_freq;
    clk_on_xtal = 0x07;
}

/* ------------------------------------------------------------ the planner */

/*
 * Integer plan for a non-zero frequency f with the output's divider and R
 * records: keep them while the PLL stays in the window, else choose the
 * divider that brings the PLL nearest below the target. Returns 0 when f
 * cannot be produced: above 175 MHz on a fresh plan, or so low that the R
 * divider would need more than its three bits.
 */
static uint8_t plan_integer(uint32_t f, uint16_t div_record, uint8_t rdiv_record, uint64_t *pll_freq, uint32_t *divider,
                            uint8_t *rdiv)
{
    uint64_t p = (uint64_t)f * div_record * ((uint64_t)1 << rdiv_record);
    if (p >= VCOFreq_Min && p <= VCOFreq_Max) {
        *divider  = div_record;
        *rdiv     = rdiv_record;
        *pll_freq = p;
        return 1;
    }

    uint32_t q = VCOFreq_Mid / f;
    if (q <= 3) {
        return 0;
    }
    if (q == 4 || q == 5) {
        q = 4;
    }
    uint8_t r = 0;
    if (q <= 300) {
        q &= ~1u;
    } else {
        while (q > 300) {
            q >>= 1;
            r++;
        }
    }
    if (r > RDIV_MAX) {
        return 0;
    }
    *divider  = q;
    *rdiv     = r;
    *pll_freq = (uint64_t)f * q * ((uint64_t)1 << r);
    return 1;
}

/* PLL feedback divider a + b/1048575 for `pll_freq`, from the crystal in
   tenths of a hertz; the PLL lands at or just below `pll_freq`. */
static void setup_pll(uint8_t base, uint64_t pll_freq)
{
    uint8_t  mult = (uint8_t)((pll_freq * 10) / xtal_freq);
    uint32_t num  = (uint32_t)(((pll_freq - ((uint64_t)mult * xtal_freq) / 10) * 10485750u) / xtal_freq);
    si5351_setup_msynth(base, mult, num, PLL_DENOM, 0);
}

/*
 * Writes an integer plan of output `clk` on the PLL at `pll_base`: the PLL
 * feedback divider every time; the MultiSynth block and the control register
 * only when the divider or R changed, or when the output runs from the
 * crystal after calibration. Returns `reset_bit` when the PLL needs a reset.
 */
static uint8_t write_integer_plan(uint8_t clk, uint8_t pll_base, uint8_t control, uint8_t reset_bit, uint64_t pll_freq,
                                  uint32_t divider, uint8_t rdiv, uint16_t *div_record, uint8_t *rdiv_record)
{
    setup_pll(pll_base, pll_freq);
    const uint8_t on_xtal = clk_on_xtal & (1u << clk);
    if (divider == *div_record && rdiv == *rdiv_record && !on_xtal) {
        return 0;
    }
    si5351_setup_msynth_int((uint8_t)(REG_MS0 + 8 * clk), divider, (uint8_t)(rdiv << 4));
    si5351_write_reg((uint8_t)(REG_CLK0_CONTROL + clk), control);
    clk_on_xtal &= (uint8_t) ~(1u << clk);
    *rdiv_record = rdiv;
    *div_record  = (uint16_t)divider;
    return reset_bit;
}

void update_freq0(uint8_t *need_reset_pll)
{
    if (freq0 == 0) {
        disable_out(0);
        return;
    }
    uint64_t pll_freq;
    uint32_t divider;
    uint8_t  rdiv;
    if (!plan_integer(freq0, freq0_div, freq0_rdiv, &pll_freq, &divider, &rdiv)) {
        disable_out(0);
        return;
    }
    *need_reset_pll |= write_integer_plan(0, REG_MSNA, (uint8_t)(power0 | CLK_MS0_PLLA_INT), SI5351_RESET_PLLA,
                                          pll_freq, divider, rdiv, &freq0_div, &freq0_rdiv);
}

/* Output 2 divides PLL B as it runs for output 1: a fraction over 1048575,
   or over 1 when it divides evenly. */
static void plan_fractional2(void)
{
    uint32_t ff      = freq2;
    uint32_t divider = freq_pll_b / ff;
    if (divider < 8) {
        disable_out(2);
        return;
    }
    uint8_t rdiv = 0;
    if (divider > 64) {
        while (divider > 64) {
            rdiv++;
            ff <<= 1;
            divider >>= 1;
        }
        divider = freq_pll_b / ff;
    }
    if (rdiv > RDIV_MAX) {
        disable_out(2);
        return;
    }
    uint32_t num = (uint32_t)(((uint64_t)(freq_pll_b % ff) * PLL_DENOM) / ff);
    uint32_t c   = num != 0 ? PLL_DENOM : 1;
    si5351_setup_msynth(REG_MS2, (uint8_t)divider, num, c, (uint8_t)(rdiv << 4));
    si5351_write_reg(REG_CLK0_CONTROL + 2,
                     (uint8_t)(power2 | CLK_PLLB | (num != 0 ? CLK_SRC_MS : (CLK_INT | CLK_SRC_MS))));
    clk_on_xtal &= (uint8_t)~4u;
    freq2_div = 1;
}

void update_freq12(uint8_t freq1_changed, uint8_t *need_reset_pll)
{
    if (freq1 == 0) {
        disable_out(1);
    }
    if (freq2 == 0) {
        disable_out(2);
    }

    uint64_t pll_freq;
    uint32_t divider;
    uint8_t  rdiv;
    if (freq1 != 0) {
        if (freq1_changed) {
            if (!plan_integer(freq1, freq1_div, freq1_rdiv, &pll_freq, &divider, &rdiv)) {
                disable_out(1);
                return; /* output 2 is not planned and PLL B's record stays */
            }
            *need_reset_pll |= write_integer_plan(1, REG_MSNB, (uint8_t)(power1 | CLK_PLLB_INT), SI5351_RESET_PLLB,
                                                  pll_freq, divider, rdiv, &freq1_div, &freq1_rdiv);
            freq_pll_b = (uint32_t)pll_freq;
        }
        if (freq2 == 0) {
            return;
        }
        plan_fractional2();
        return;
    }

    if (freq2 != 0) {
        /* Output 2 alone has PLL B to itself. */
        if (!plan_integer(freq2, freq2_div, freq2_rdiv, &pll_freq, &divider, &rdiv)) {
            disable_out(2);
            return;
        }
        *need_reset_pll |= write_integer_plan(2, REG_MSNB, (uint8_t)(power2 | CLK_PLLB_INT), SI5351_RESET_PLLB,
                                              pll_freq, divider, rdiv, &freq2_div, &freq2_rdiv);
    }
}

/* Plans and writes what changed; returns the PLLs it reset. */
uint8_t set_freq(uint32_t f0, uint32_t f1, uint32_t f2)
{
    uint8_t need_reset_pll = 0;
    /* An output still on the crystal after calibration counts as changed,
       whatever its record says: a request equal to the record must not leave
       it there. */
    const uint8_t on_xtal       = clk_on_xtal;
    uint8_t       freq1_changed = freq1 != f1 || (on_xtal & 2u) ? 1 : 0;

    if (freq0 != f0 || (on_xtal & 1u)) {
        freq0 = f0;
        update_freq0(&need_reset_pll);
    }
    if (freq2 != f2 || freq1_changed || (on_xtal & 4u)) {
        freq1 = f1;
        freq2 = f2;
        update_freq12(freq1_changed, &need_reset_pll);
    }
    if (need_reset_pll) {
        si5351_write_reg(REG_PLL_RESET, need_reset_pll);
    }
    return need_reset_pll;
}

/* A new crystal: every requested output is planned again against it. */
void set_xtal_freq(uint32_t freq, uint8_t reset_pll)
{
    uint8_t scratch = 0;
    xtal_freq       = freq * 10;
    update_freq0(&scratch);
    update_freq12(1, &scratch);
    if (reset_pll) {
        si5351_write_reg(REG_PLL_RESET, SI5351_RESET_PLLA | SI5351_RESET_PLLB);
    }
}

uint8_t is_freq_ok(uint8_t clk_num)
{
    switch (clk_num) {
    case 0:
        return freq0_div != 0;
    case 1:
        return freq1_div != 0;
    case 2:
        return freq2_div != 0;
    default:
        return 0;
    }
}
