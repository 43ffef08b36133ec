#ifndef STM32F0XX_IT_H
#define STM32F0XX_IT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Index of the next free element of cmd_buf; touched by the receiver only. */
extern volatile int icmd_buf;

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
