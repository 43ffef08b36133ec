/* Start-up, main loop, board set-up and the command interpreter. */
#include "main.h"

#include <string.h>

#include "level_text.h"

#include "si5351a.h"
#include "stm32f0xx_it.h"

char              cmd_buf[CMD_BUF_SIZE];
volatile uint32_t rx_byte_f;
uint32_t          xtal;
int32_t           freq;

/* True when `hz` lies in the accepted crystal window; one unsigned
   comparison, so values below the window wrap to large numbers and fail. */
static inline int XtalInWindow(uint32_t hz) { return hz - XTAL_MIN <= XTAL_MAX - XTAL_MIN; }

/* ---------------------------------------------------------------- start-up */

int main(void)
{
    LL_APB1_GRP2_EnableClock(LL_APB1_GRP2_PERIPH_SYSCFG);
    LL_APB1_GRP1_EnableClock(LL_APB1_GRP1_PERIPH_PWR);

    SystemClock_Config();
    MX_GPIO_Init();
    MX_ADC_Init();
    MX_USART1_UART_Init();
    MX_TIM3_Init();

    LL_SYSTICK_EnableIT();
    /* From here on every received byte reaches the line receiver, also while
       the rest of start-up runs: a line sent now is run by the first loop pass. */
    LL_USART_EnableIT_RXNE(USART1);
    LL_TIM_EnableCounter(TIM3);

    LL_ADC_StartCalibration(ADC1);
    while (LL_ADC_IsCalibrationOnGoing(ADC1)) {}
    LL_ADC_EnableIT_EOC(ADC1);
    LL_ADC_Enable(ADC1);

    /* An erased page or any value outside the window: run with the default,
       without writing it back. */
    FLASH_ReadSettings();
    if (!XtalInWindow(xtal)) {
        xtal = XTAL_DEFAULT;
    }

    char txt[UNSIGNED_TEXT_MAX];
    format_unsigned(txt, xtal);
    println(txt);
    println(ID_TEXT);

    /* Set before the first conversion, so the detector never runs with a
       zero coefficient. The bit pattern is the float nearest 1.8477591. */
    const uint32_t coeff_bits = 0x3FEC835F;
    memcpy(&coeff, &coeff_bits, sizeof coeff);

    /* The synthesizer is written only after the banner, which therefore goes
       out even when the synthesizer does not answer. */
    setup(3, 3, 0);
    set_xtal_freq(xtal, 1);
    LL_mDelay(SETTLE_PLL_RESET_MS);

    freq = START_FREQ;
    UpdateFreq();

    /* From here on every TIM3 trigger converts and reaches the detector,
       which runs one measurement nobody reads and then idles. */
    LL_ADC_REG_StartConversion(ADC1);

    for (;;) {
        while (rx_byte_f == 0) {
            platform_wait_hint(&rx_byte_f);
        }
        /* The flag is cleared as the line is taken: a line completed while
           the command runs is seen at the next pass. */
        if (TakeLine()) {
            ParseCommand();
        }
    }
}

/* ------------------------------------------------------------- settings page */

void FLASH_ReadSettings(void) { xtal = SETTINGS_PAGE->WORD[0]; }

/* Waits while the flash is busy, then clears its end-of-operation flag. */
static void FLASH_WaitDone(void)
{
    while (FLASH->SR & FLASH_SR_BSY) {}
    if (FLASH->SR & FLASH_SR_EOP) {
        FLASH->SR |= FLASH_SR_EOP;
    }
}

/*
 * Erases the page and programs xtal into its first word. The low half-word
 * goes first, so a write cut short leaves at least 0xFFFF0000 there, which
 * start-up rejects: an interrupted write never leaves a wrong crystal inside
 * the window.
 */
void FLASH_WriteSettings(void)
{
    FLASH->SR |= FLASH_SR_EOP;
    FLASH->SR |= FLASH_SR_WRPRTERR;
    FLASH->SR |= FLASH_SR_PGERR;
    while (FLASH->SR & FLASH_SR_BSY) {}
    if (FLASH->CR & FLASH_CR_LOCK) {
        FLASH->KEYR = FLASH_KEY1;
        FLASH->KEYR = FLASH_KEY2;
    }

    FLASH->CR |= FLASH_CR_PER;
    FLASH->AR = SETTINGS_PAGE_ADDR;
    FLASH->CR |= FLASH_CR_STRT;
    FLASH_WaitDone();
    FLASH->CR &= ~FLASH_CR_PER;

    FLASH_ProgramWord(SETTINGS_PAGE_ADDR, xtal);

    FLASH->CR |= FLASH_CR_LOCK;
}

/* Two half-words, low first, into an erased word of the settings page. */
void FLASH_ProgramWord(uint32_t Address, uint32_t data)
{
    const uint32_t half = (Address - SETTINGS_PAGE_ADDR) / 2;
    FLASH->CR |= FLASH_CR_PG;

    SETTINGS_PAGE->HALF[half] = (uint16_t)data;
    FLASH_WaitDone();

    SETTINGS_PAGE->HALF[half + 1] = (uint16_t)(data >> 16);
    FLASH_WaitDone();

    FLASH->CR &= ~FLASH_CR_PG;
}

/* ------------------------------------------------------- synthesizer commands */

/* Output 1 at freq, output 0 1 kHz away, output 2 off. Returns the PLLs
   that were reset. */
uint8_t UpdateFreq(void)
{
    const uint32_t f1 = (uint32_t)freq;
    const uint32_t f0 = freq < LO_BELOW_FROM ? f1 + LO_OFFSET : f1 - LO_OFFSET;
    return set_freq(f0, f1, 0);
}

uint8_t IsFreqOK(void) { return is_freq_ok(0) && is_freq_ok(1); }

/* f: a new frequency; outputs that were not running get SETTLE_OFF_MS to
   settle. */
static void RunSetFrequency(char *p)
{
    ReadNumber(p, &freq);
    const uint8_t ok = IsFreqOK();
    UpdateFreq();
    if (!ok) {
        LL_mDelay(SETTLE_OFF_MS);
    }
}

/* o: all outputs off; freq stays, so a following sweep starts from it. */
static void RunOutputsOff(void) { set_freq(0, 0, 0); }

/* c: the crystal itself on all outputs, to be measured. */
static void RunCalibrate(void)
{
    set_freq(CAL_FREQ, CAL_FREQ, CAL_FREQ);
    out_calibrate_freq();
}

/* x: a measured crystal frequency, kept across power-off and used at once. */
static void RunSetXtal(char *p)
{
    int32_t xfreq;
    ReadNumber(p, &xfreq);
    if (XtalInWindow((uint32_t)xfreq)) {
        xtal = (uint32_t)xfreq;
        FLASH_WriteSettings();
        set_xtal_freq((uint32_t)xfreq, 1);
    }
}

static void RunIdentify(void) { println(ID_TEXT); }

/*
 * r STEP COUNT: from freq on, COUNT points STEP Hz apart, one line each as
 * it is measured: the level, or "*" where the synthesizer cannot produce the
 * frequency. freq ends one step beyond the last point, so a following r
 * continues where this one stopped.
 */
static void RunSweep(char *p)
{
    int32_t step;
    int32_t count;
    p = ReadNumber(p, &step);
    p = SkipWhitespace(p);
    ReadNumber(p, &count);

    char txt[50];
    while (count > 0) {
        const uint8_t reset = UpdateFreq();
        LL_mDelay(reset ? SETTLE_PLL_RESET_MS : SETTLE_STEP_MS);
        if (IsFreqOK()) {
            const float level = ReadData();
            format_level(txt, level);
            println(txt);
        } else {
            println("*");
        }
        freq = (int32_t)((uint32_t)freq + (uint32_t)step);
        count--;
    }
}

/* ------------------------------------------------------- command interpreter */

char *SkipWhitespace(char *p)
{
    while (*p == ' ' || *p == ',') {
        p++;
    }
    return p;
}

/*
 * Unsigned decimal digits, wrapping modulo 2^32 and taken as signed. The byte
 * that ends the number is consumed, except the terminator: reading never
 * passes the end of the line. No digits reads as 0.
 */
char *ReadNumber(char *p, int32_t *value)
{
    uint32_t val = 0;
    for (;;) {
        unsigned char c = (unsigned char)*p++;
        if (c == 0) {
            p--;
            break;
        }
        if (c < '0' || c > '9') {
            break;
        }
        val = val * 10u + (uint32_t)(c - '0');
    }
    *value = (int32_t)val;
    return p;
}

/*
 * Runs the line in cmd_buf. The letter and the start of the arguments are
 * taken first, before anything slow, since the receiver may already be
 * filling the buffer with the next line. PA2 is high while the command runs.
 */
void ParseCommand(void)
{
    char  cmd = cmd_buf[0];
    char *p   = cmd != 0 ? SkipWhitespace(&cmd_buf[1]) : &cmd_buf[0];

    LL_GPIO_SetOutputPin(GPIOA, LL_GPIO_PIN_2);
    switch ((unsigned char)cmd) {
    case 'c':
        RunCalibrate();
        break;
    case 'f':
        RunSetFrequency(p);
        break;
    case 'o':
        RunOutputsOff();
        break;
    case 'r':
        RunSweep(p);
        break;
    case 'w':
        RunIdentify();
        break;
    case 'x':
        RunSetXtal(p);
        break;
    default:
        break;
    }
    LL_GPIO_ResetOutputPin(GPIOA, LL_GPIO_PIN_2);
}

/* ------------------------------------------------------------ board set-up */

void SystemClock_Config(void)
{
    LL_FLASH_SetLatency(LL_FLASH_LATENCY_0);

    LL_RCC_HSI_Enable();
    while (LL_RCC_HSI_IsReady() != 1) {}
    LL_RCC_HSI_SetCalibTrimming(16);

    LL_RCC_HSI14_Enable();
    while (LL_RCC_HSI14_IsReady() != 1) {}
    LL_RCC_HSI14_SetCalibTrimming(16);

    LL_RCC_SetAHBPrescaler(LL_RCC_SYSCLK_DIV_1);
    LL_RCC_SetAPB1Prescaler(LL_RCC_APB1_DIV_1);

    LL_RCC_SetSysClkSource(LL_RCC_SYS_CLKSOURCE_HSI);
    while (LL_RCC_GetSysClkSource() != LL_RCC_SYS_CLKSOURCE_STATUS_HSI) {}

    LL_Init1msTick(CORE_HZ);
    LL_SetSystemCoreClock(CORE_HZ);

    LL_RCC_HSI14_EnableADCControl();
    LL_RCC_SetUSARTClockSource(LL_RCC_USART1_CLKSOURCE_PCLK1);
}

/* The bus lines and PA2 are set high before they become outputs, so the bus
   starts released and PA2 starts high. */
void MX_GPIO_Init(void)
{
    LL_GPIO_InitTypeDef gpio = {};

    LL_AHB1_GRP1_EnableClock(LL_AHB1_GRP1_PERIPH_GPIOF);
    LL_AHB1_GRP1_EnableClock(LL_AHB1_GRP1_PERIPH_GPIOA);

    LL_GPIO_SetOutputPin(GPIOF, LL_GPIO_PIN_0);
    LL_GPIO_SetOutputPin(GPIOF, LL_GPIO_PIN_1);
    LL_GPIO_SetOutputPin(GPIOA, LL_GPIO_PIN_2);

    gpio.Pin        = LL_GPIO_PIN_0;
    gpio.Mode       = LL_GPIO_MODE_OUTPUT;
    gpio.Speed      = LL_GPIO_SPEED_FREQ_LOW;
    gpio.OutputType = LL_GPIO_OUTPUT_OPENDRAIN;
    gpio.Pull       = LL_GPIO_PULL_UP;
    LL_GPIO_Init(GPIOF, &gpio);

    gpio.Pin = LL_GPIO_PIN_1;
    LL_GPIO_Init(GPIOF, &gpio);

    gpio.Pin        = LL_GPIO_PIN_2;
    gpio.OutputType = LL_GPIO_OUTPUT_PUSHPULL;
    gpio.Pull       = LL_GPIO_PULL_NO;
    LL_GPIO_Init(GPIOA, &gpio);

    gpio.Pin  = LL_GPIO_PIN_3;
    gpio.Mode = LL_GPIO_MODE_INPUT;
    gpio.Pull = LL_GPIO_PULL_NO;
    LL_GPIO_Init(GPIOA, &gpio);
}

void MX_ADC_Init(void)
{
    LL_ADC_InitTypeDef     adc     = {};
    LL_ADC_REG_InitTypeDef adc_reg = {};
    LL_GPIO_InitTypeDef    gpio    = {};

    LL_APB1_GRP2_EnableClock(LL_APB1_GRP2_PERIPH_ADC1);
    LL_AHB1_GRP1_EnableClock(LL_AHB1_GRP1_PERIPH_GPIOA);

    gpio.Pin  = LL_GPIO_PIN_0;
    gpio.Mode = LL_GPIO_MODE_ANALOG;
    gpio.Pull = LL_GPIO_PULL_NO;
    LL_GPIO_Init(GPIOA, &gpio);

    NVIC_SetPriority(ADC1_IRQn, 0);
    NVIC_EnableIRQ(ADC1_IRQn);

    LL_ADC_REG_SetSequencerChAdd(ADC1, LL_ADC_CHANNEL_0);

    adc.Clock         = LL_ADC_CLOCK_ASYNC;
    adc.Resolution    = LL_ADC_RESOLUTION_12B;
    adc.DataAlignment = LL_ADC_DATA_ALIGN_RIGHT;
    adc.LowPowerMode  = LL_ADC_LP_MODE_NONE;
    LL_ADC_Init(ADC1, &adc);

    adc_reg.TriggerSource    = LL_ADC_REG_TRIG_EXT_TIM3_TRGO;
    adc_reg.SequencerDiscont = LL_ADC_REG_SEQ_DISCONT_DISABLE;
    adc_reg.ContinuousMode   = LL_ADC_REG_CONV_SINGLE;
    adc_reg.DMATransfer      = LL_ADC_REG_DMA_TRANSFER_LIMITED;
    adc_reg.Overrun          = LL_ADC_REG_OVR_DATA_PRESERVED;
    LL_ADC_REG_Init(ADC1, &adc_reg);

    LL_ADC_REG_SetSequencerScanDirection(ADC1, LL_ADC_REG_SEQ_SCAN_DIR_FORWARD);
    LL_ADC_SetSamplingTimeCommonChannels(ADC1, LL_ADC_SAMPLINGTIME_239CYCLES_5);
    LL_ADC_DisableIT_EOC(ADC1);
    LL_ADC_DisableIT_EOS(ADC1);
    LL_ADC_REG_SetTriggerEdge(ADC1, LL_ADC_REG_TRIG_EXT_RISING);
}

void MX_USART1_UART_Init(void)
{
    LL_USART_InitTypeDef usart = {};
    LL_GPIO_InitTypeDef  gpio  = {};

    LL_APB1_GRP2_EnableClock(LL_APB1_GRP2_PERIPH_USART1);
    LL_AHB1_GRP1_EnableClock(LL_AHB1_GRP1_PERIPH_GPIOA);

    gpio.Pin        = LL_GPIO_PIN_9;
    gpio.Mode       = LL_GPIO_MODE_ALTERNATE;
    gpio.Speed      = LL_GPIO_SPEED_FREQ_MEDIUM;
    gpio.OutputType = LL_GPIO_OUTPUT_PUSHPULL;
    gpio.Pull       = LL_GPIO_PULL_NO;
    gpio.Alternate  = LL_GPIO_AF_1;
    LL_GPIO_Init(GPIOA, &gpio);

    gpio.Pin  = LL_GPIO_PIN_10;
    gpio.Pull = LL_GPIO_PULL_UP;
    LL_GPIO_Init(GPIOA, &gpio);

    NVIC_SetPriority(USART1_IRQn, 1);
    NVIC_EnableIRQ(USART1_IRQn);

    usart.BaudRate            = BAUD_RATE;
    usart.DataWidth           = LL_USART_DATAWIDTH_8B;
    usart.StopBits            = LL_USART_STOPBITS_1;
    usart.Parity              = LL_USART_PARITY_NONE;
    usart.TransferDirection   = LL_USART_DIRECTION_TX_RX;
    usart.HardwareFlowControl = LL_USART_HWCONTROL_NONE;
    usart.OverSampling        = LL_USART_OVERSAMPLING_16;
    LL_USART_Init(USART1, &usart);
    LL_USART_DisableIT_CTS(USART1);
    LL_USART_ConfigAsyncMode(USART1);
    LL_USART_Enable(USART1);
}

/* One update event, and so one ADC trigger, per sample: every 62.5 us, 8 MHz
   counted to 500. */
void MX_TIM3_Init(void)
{
    LL_TIM_InitTypeDef tim = {};

    LL_APB1_GRP1_EnableClock(LL_APB1_GRP1_PERIPH_TIM3);

    tim.Prescaler     = 0;
    tim.CounterMode   = LL_TIM_COUNTERMODE_UP;
    tim.Autoreload    = CORE_HZ / SAMPLE_HZ - 1;
    tim.ClockDivision = LL_TIM_CLOCKDIVISION_DIV1;
    LL_TIM_Init(TIM3, &tim);
    LL_TIM_DisableARRPreload(TIM3);
    LL_TIM_SetClockSource(TIM3, LL_TIM_CLOCKSOURCE_INTERNAL);
    LL_TIM_SetTriggerOutput(TIM3, LL_TIM_TRGO_UPDATE);
    LL_TIM_DisableMasterSlaveMode(TIM3);
}
