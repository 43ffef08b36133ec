/* Start-up, main loop, board set-up, command interpreter and its helpers. */
#ifndef MAIN_H
#define MAIN_H

#include <stdint.h>

#include "platform.h"
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

/* One line buffer: 49 bytes of text and the terminator. */
#define CMD_BUF_SIZE 50

/* Crystal frequencies of the synthesizer, Hz: the accepted window and the
   default used while the settings page holds nothing valid. */
#define XTAL_MIN 24000000u
#define XTAL_MAX 31000000u
#define XTAL_DEFAULT 25000000u

/* Local oscillator: 1 kHz above the stimulus, below it from 130 MHz up. */
#define LO_OFFSET 1000
#define LO_BELOW_FROM 130000000

/* The settings page: the last 1 KB page of the first 16 KB of flash. Word 0
   holds the crystal frequency; the rest stays erased. */
#define SETTINGS_PAGE_ADDR 0x08003C00u
typedef union {
    reg32_t WORD[256];
    reg16_t HALF[512];
} SettingsPage_TypeDef;
#define SETTINGS_PAGE PERIPH_PTR(SettingsPage_TypeDef, SETTINGS_PAGE_ADDR)

/* Identification line, also the last line of the start-up banner. */
#define ID_TEXT "1.3;VORN"

extern char cmd_buf[CMD_BUF_SIZE];
/* The receiver's lines: the one being filled, the newest complete one and
   the one the main loop copies into cmd_buf (stm32f0xx_it). */
#define RX_LINES 3u
extern char rx_lines[RX_LINES][CMD_BUF_SIZE];
extern volatile uint32_t rx_byte_f;
extern uint32_t xtal;
extern int32_t freq;

int main(void);

void SystemClock_Config(void);
void MX_GPIO_Init(void);
void MX_ADC_Init(void);
void MX_USART1_UART_Init(void);
void MX_TIM3_Init(void);

void FLASH_ReadSettings(void);
void FLASH_WriteSettings(void);
void FLASH_ProgramWord(uint32_t Address, uint32_t data);

uint8_t UpdateFreq(void);
uint8_t IsFreqOK(void);

void ParseCommand(void);
char *SkipWhitespace(char *p);
char *ReadNumber(char *p, int32_t *value);

/* Replies are sent by polling: each byte waits for an empty transmit data
   register, and a helper returns as soon as its last byte is written there. */
static inline void send_char(char chr)
{
    while (!LL_USART_IsActiveFlag_TXE(USART1)) {
    }
    LL_USART_TransmitData8(USART1, (uint8_t)chr);
}

static inline void print(const char *str)
{
    while (*str != 0) {
        send_char(*str++);
    }
}

/* Lines end with a single carriage return, never a line feed. */
static inline void println(const char *str)
{
    print(str);
    print("\r");
}

#ifdef __cplusplus
}
#endif

#endif
