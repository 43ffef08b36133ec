#ifndef STM32F0XX_IT_H
#define STM32F0XX_IT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Index of the next free element of the line being received; touched by the
   receiver only. */
extern volatile int icmd_buf;
/* Newest complete line (a count of lines times 4, plus its buffer), and the
   buffer + 1 the main loop is copying out of (0: none). */
extern volatile uint32_t rx_ready;
extern volatile uint32_t rx_taking;

/* Main loop: copies the newest complete line not yet taken into cmd_buf and
   returns 1, or returns 0 when there is none. Clears rx_byte_f. */
int TakeLine(void);

/* The ADC's sample rate, Hz: TIM3 triggers one conversion per period. */
#define SAMPLE_HZ 16000u

/* Tone detector state, shared by the ADC interrupt and ReadData. */
extern volatile uint32_t measure_stage;
extern volatile int32_t  nstep;
extern volatile int32_t  last_val;
extern volatile float    Q0, Q1, Q2;
/* Goertzel coefficient, 2 cos(2 pi 1000 / 16000); set once at start-up. */
extern float coeff;

/* Restarts the detector, waits for a complete measurement and returns its
   level, the squared magnitude of the 1 kHz tone. */
float ReadData(void);

void NMI_Handler(void);
void HardFault_Handler(void);
void SVC_Handler(void);
void PendSV_Handler(void);
void SysTick_Handler(void);
void ADC1_IRQHandler(void);
void USART1_IRQHandler(void);

#ifdef __cplusplus
}
#endif

#endif
