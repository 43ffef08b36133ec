/* Start-up, main loop, board set-up, command interpreter and its helpers. */
#ifndef MAIN_H
#define MAIN_H

#include <stdint.h>

#include "main_state.h"
#include "platform.h"
#include "protocol.h"
#include "stm32f0xx_ll_adc.h"
#include "stm32f0xx_ll_bus.h"
#include "stm32f0xx_ll_cortex.h"
#include "stm32f0xx_ll_gpio.h"
#include "stm32f0xx_ll_rcc.h"
#include "stm32f0xx_ll_system.h"
#include "stm32f0xx_ll_tim.h"
#include "stm32f0xx_ll_usart.h"
#include "stm32f0xx_ll_utils.h"
#include "system_stm32f0xx.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Local oscillator: 1 kHz above the stimulus, below it from 130 MHz up. */
#define LO_OFFSET     1000
#define LO_BELOW_FROM 130000000

/* The stimulus after start-up, and the frequency `c` puts on every output
   so that the crystal can be measured, Hz. */
#define START_FREQ 3000000
#define CAL_FREQ   5000000u

/* Settling times, ms: outputs that were off (`f`), PLLs that were reset
   (start-up, a sweep point), and a plain step of a sweep. */
#define SETTLE_OFF_MS       100u
#define SETTLE_PLL_RESET_MS 50u
#define SETTLE_STEP_MS      1u

/* The settings page: the last 1 KB page of the first 16 KB of flash. Word 0
   holds the crystal frequency; the rest stays erased. */
#define SETTINGS_PAGE_ADDR 0x08003C00u
typedef union {
    reg32_t WORD[256];
    reg16_t HALF[512];
} SettingsPage_TypeDef;
#define SETTINGS_PAGE PERIPH_PTR(SettingsPage_TypeDef, SETTINGS_PAGE_ADDR)

/* The globals and most functions: main_state.h. main() is declared here
   only, so that programs with a main of their own can include that one. */
int main(void);

/* Replies are sent by polling: each byte waits for an empty transmit data
   register, and a helper returns as soon as its last byte is written there. */
static inline void send_char(char chr)
{
    while (!LL_USART_IsActiveFlag_TXE(USART1)) {}
    LL_USART_TransmitData8(USART1, (uint8_t)chr);
}

static inline void print(const char *str)
{
    while (*str != 0) {
        send_char(*str++);
    }
}

/* Lines end with REPLY_END, never a line feed. */
static inline void println(const char *str)
{
    print(str);
    print(REPLY_END_TEXT);
}

#ifdef __cplusplus
}
#endif

#endif
