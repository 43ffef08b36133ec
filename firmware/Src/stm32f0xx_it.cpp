/* Exception handlers, the serial line receiver and the tone detector. */
#include "stm32f0xx_it.h"

#include "main.h"

volatile int icmd_buf;

void NMI_Handler(void) {}

void HardFault_Handler(void)
{
    for (;;) {
    }
}

void SVC_Handler(void) {}

void PendSV_Handler(void) {}

/* Millisecond waits poll the SysTick wrap flag; the tick itself does nothing. */
void SysTick_Handler(void) {}

/* Sampling is not started yet: a conversion result is taken and dropped. */
void ADC1_IRQHandler(void)
{
    if (!LL_ADC_IsActiveFlag_EOC(ADC1)) {
        return;
    }
    (void)LL_ADC_REG_ReadConversionData32(ADC1);
}

/*
 * Line receiver. Each entry handles exactly one condition and returns; a
 * received byte comes first, so an error flag never discards or marks the
 * line being collected. A flag still pending after the entry raises the
 * interrupt again (overrun) or is cleared by a later entry.
 */
void USART1_IRQHandler(void)
{
    if (LL_USART_IsActiveFlag_RXNE(USART1)) {
        int inbyte = LL_USART_ReceiveData8(USART1);
        unsigned i = (unsigned)icmd_buf;
        if (inbyte == '\r') {
            cmd_buf[i] = 0;
            icmd_buf = 0;
            rx_byte_f = 1; /* stored last: the line is complete before the flag says so */
            return;
        }
        if (i <= CMD_BUF_SIZE - 2) {
            cmd_buf[i] = (char)inbyte;
            icmd_buf = (int)(i + 1);
        }
        /* else: 49 bytes stored; the rest of an overlong line is dropped */
        return;
    }
    if (LL_USART_IsActiveFlag_ORE(USART1)) {
        LL_USART_ClearFlag_ORE(USART1);
        return;
    }
    if (LL_USART_IsActiveFlag_IDLE(USART1)) {
        LL_USART_ClearFlag_IDLE(USART1);
        return;
    }
    if (LL_USART_IsActiveFlag_NE(USART1)) {
        LL_USART_ClearFlag_NE(USART1);
        return;
    }
    if (LL_USART_IsActiveFlag_CM(USART1)) {
        LL_USART_ClearFlag_CM(USART1);
        return;
    }
    if (LL_USART_IsActiveFlag_FE(USART1)) {
        LL_USART_ClearFlag_FE(USART1);
        return;
    }
}
