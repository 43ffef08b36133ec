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

/* Default crystal frequency of the synthesizer, Hz. */
#define XTAL_DEFAULT 25000000u

/* Identification line, also the last line of the start-up banner. */
#define ID_TEXT "1.3;VORN"

extern char cmd_buf[CMD_BUF_SIZE];
extern volatile uint32_t rx_byte_f;
extern uint32_t xtal;
extern int32_t freq;

int main(void);

void SystemClock_Config(void);
void MX_GPIO_Init(void);
void MX_ADC_Init(void);
void MX_USART1_UART_Init(void);
void MX_TIM3_Init(void);

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
