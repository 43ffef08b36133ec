/* The main module's globals and functions, declared with <stdint.h> alone so
   that code outside the firmware (the virtual board, its tests) can name
   them without the device header. main.h includes this and adds the rest. */
#ifndef MAIN_STATE_H
#define MAIN_STATE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One line buffer: 49 bytes of text and the terminator. */
#define CMD_BUF_SIZE 50

extern char cmd_buf[CMD_BUF_SIZE];
/* The receiver's lines: the one being filled, the newest complete one and
   the one the main loop copies into cmd_buf (stm32f0xx_it). */
#define RX_LINES 3u
extern char rx_lines[RX_LINES][CMD_BUF_SIZE];
/* Set by the receiver when a line is complete; the main loop polls it. */
extern volatile uint32_t rx_byte_f;
extern uint32_t          xtal;
extern int32_t           freq;

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

void  ParseCommand(void);
char *SkipWhitespace(char *p);
char *ReadNumber(char *p, int32_t *value);

#ifdef __cplusplus
}
#endif

#endif
