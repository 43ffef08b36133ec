/* USART configuration. */
#include "stm32f0xx_ll_usart.h"
#include "system_stm32f0xx.h"

ErrorStatus LL_USART_Init(USART_TypeDef *USARTx, const LL_USART_InitTypeDef *USART_InitStruct)
{
    ErrorStatus status = ERROR;

    if (LL_USART_IsEnabled(USARTx) == 0U) {
        MODIFY_REG(USARTx->CR1,
                   (USART_CR1_M | USART_CR1_PCE | USART_CR1_PS | USART_CR1_TE | USART_CR1_RE | USART_CR1_OVER8),
                   (USART_InitStruct->DataWidth | USART_InitStruct->Parity | USART_InitStruct->TransferDirection |
                    USART_InitStruct->OverSampling));

        MODIFY_REG(USARTx->CR2, USART_CR2_STOP, USART_InitStruct->StopBits);

        MODIFY_REG(USARTx->CR3, USART_CR3_RTSE | USART_CR3_CTSE, USART_InitStruct->HardwareFlowControl);

        /* USART1's kernel clock is PCLK (CFGR3 USART1SW = 00), and this
           system runs PCLK undivided from HCLK. */
        const uint32_t periphclk = SystemCoreClock;
        if ((periphclk != 0U) && (USART_InitStruct->BaudRate != 0U)) {
            LL_USART_SetBaudRate(USARTx, periphclk, USART_InitStruct->OverSampling, USART_InitStruct->BaudRate);
            status = SUCCESS;
        }
    }

    return status;
}
