/* USART in asynchronous mode: configuration, interrupts, flags, data. */
#ifndef STM32F0XX_LL_USART_H
#define STM32F0XX_LL_USART_H

#include "stm32f030x6.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint32_t BaudRate;            /* bit/s */
    uint32_t DataWidth;           /* LL_USART_DATAWIDTH_x */
    uint32_t StopBits;            /* LL_USART_STOPBITS_x */
    uint32_t Parity;              /* LL_USART_PARITY_x */
    uint32_t TransferDirection;   /* LL_USART_DIRECTION_x */
    uint32_t HardwareFlowControl; /* LL_USART_HWCONTROL_x */
    uint32_t OverSampling;        /* LL_USART_OVERSAMPLING_x */
} LL_USART_InitTypeDef;

/* Values are the register bits they stand for. */
#define LL_USART_DATAWIDTH_8B ((uint32_t)0x0U)
#define LL_USART_DATAWIDTH_9B USART_CR1_M

#define LL_USART_STOPBITS_0_5 USART_CR2_STOP_0
#define LL_USART_STOPBITS_1   ((uint32_t)0x0U)
#define LL_USART_STOPBITS_1_5 (USART_CR2_STOP_0 | USART_CR2_STOP_1)
#define LL_USART_STOPBITS_2   USART_CR2_STOP_1

#define LL_USART_PARITY_NONE ((uint32_t)0x0U)
#define LL_USART_PARITY_EVEN USART_CR1_PCE
#define LL_USART_PARITY_ODD  (USART_CR1_PCE | USART_CR1_PS)

#define LL_USART_DIRECTION_NONE  ((uint32_t)0x0U)
#define LL_USART_DIRECTION_RX    USART_CR1_RE
#define LL_USART_DIRECTION_TX    USART_CR1_TE
#define LL_USART_DIRECTION_TX_RX (USART_CR1_TE | USART_CR1_RE)

#define LL_USART_HWCONTROL_NONE    ((uint32_t)0x0U)
#define LL_USART_HWCONTROL_RTS     USART_CR3_RTSE
#define LL_USART_HWCONTROL_CTS     USART_CR3_CTSE
#define LL_USART_HWCONTROL_RTS_CTS (USART_CR3_RTSE | USART_CR3_CTSE)

#define LL_USART_OVERSAMPLING_16 ((uint32_t)0x0U)
#define LL_USART_OVERSAMPLING_8  USART_CR1_OVER8

/* Configuration */

static inline void LL_USART_Enable(USART_TypeDef *USARTx) { SET_BIT(USARTx->CR1, USART_CR1_UE); }

static inline uint32_t LL_USART_IsEnabled(USART_TypeDef *USARTx)
{
    return (READ_BIT(USARTx->CR1, USART_CR1_UE) == USART_CR1_UE) ? 1U : 0U;
}

/* Plain asynchronous framing: no LIN, no synchronous clock, no smartcard,
   no IrDA, no half-duplex. LIN, smartcard and IrDA are absent on this part
   and their bits stay at their reset value 0. */
static inline void LL_USART_ConfigAsyncMode(USART_TypeDef *USARTx)
{
    CLEAR_BIT(USARTx->CR2, USART_CR2_LINEN | USART_CR2_CLKEN);
    CLEAR_BIT(USARTx->CR3, USART_CR3_SCEN | USART_CR3_IREN | USART_CR3_HDSEL);
}

/* BRR from the kernel clock: USARTDIV rounded to nearest; with 8x
   oversampling the fraction keeps 3 bits, right-aligned under the mantissa. */
static inline void LL_USART_SetBaudRate(USART_TypeDef *USARTx, uint32_t PeriphClk, uint32_t OverSampling,
                                        uint32_t BaudRate)
{
    if (BaudRate == 0U) {
        return;
    }
    if (OverSampling == LL_USART_OVERSAMPLING_8) {
        const uint32_t usartdiv = ((PeriphClk * 2U) + (BaudRate / 2U)) / BaudRate;
        const uint32_t brr      = (usartdiv & 0xFFF0U) | ((usartdiv & 0x000FU) >> 1U);
        USARTx->BRR             = brr;
    } else {
        USARTx->BRR = (PeriphClk + (BaudRate / 2U)) / BaudRate;
    }
}

/* Interrupts */

static inline void LL_USART_EnableIT_RXNE(USART_TypeDef *USARTx) { SET_BIT(USARTx->CR1, USART_CR1_RXNEIE); }

static inline void LL_USART_DisableIT_CTS(USART_TypeDef *USARTx) { CLEAR_BIT(USARTx->CR3, USART_CR3_CTSIE); }

/* Flags */

static inline uint32_t LL_USART_IsActiveFlag_FE(USART_TypeDef *USARTx)
{
    return (READ_BIT(USARTx->ISR, USART_ISR_FE) == USART_ISR_FE) ? 1U : 0U;
}

static inline uint32_t LL_USART_IsActiveFlag_NE(USART_TypeDef *USARTx)
{
    return (READ_BIT(USARTx->ISR, USART_ISR_NE) == USART_ISR_NE) ? 1U : 0U;
}

static inline uint32_t LL_USART_IsActiveFlag_ORE(USART_TypeDef *USARTx)
{
    return (READ_BIT(USARTx->ISR, USART_ISR_ORE) == USART_ISR_ORE) ? 1U : 0U;
}

static inline uint32_t LL_USART_IsActiveFlag_IDLE(USART_TypeDef *USARTx)
{
    return (READ_BIT(USARTx->ISR, USART_ISR_IDLE) == USART_ISR_IDLE) ? 1U : 0U;
}

static inline uint32_t LL_USART_IsActiveFlag_RXNE(USART_TypeDef *USARTx)
{
    return (READ_BIT(USARTx->ISR, USART_ISR_RXNE) == USART_ISR_RXNE) ? 1U : 0U;
}

static inline uint32_t LL_USART_IsActiveFlag_TC(USART_TypeDef *USARTx)
{
    return (READ_BIT(USARTx->ISR, USART_ISR_TC) == USART_ISR_TC) ? 1U : 0U;
}

static inline uint32_t LL_USART_IsActiveFlag_TXE(USART_TypeDef *USARTx)
{
    return (READ_BIT(USARTx->ISR, USART_ISR_TXE) == USART_ISR_TXE) ? 1U : 0U;
}

static inline uint32_t LL_USART_IsActiveFlag_CM(USART_TypeDef *USARTx)
{
    return (READ_BIT(USARTx->ISR, USART_ISR_CMF) == USART_ISR_CMF) ? 1U : 0U;
}

static inline void LL_USART_ClearFlag_FE(USART_TypeDef *USARTx) { WRITE_REG(USARTx->ICR, USART_ICR_FECF); }

static inline void LL_USART_ClearFlag_NE(USART_TypeDef *USARTx) { WRITE_REG(USARTx->ICR, USART_ICR_NCF); }

static inline void LL_USART_ClearFlag_ORE(USART_TypeDef *USARTx) { WRITE_REG(USARTx->ICR, USART_ICR_ORECF); }

static inline void LL_USART_ClearFlag_IDLE(USART_TypeDef *USARTx) { WRITE_REG(USARTx->ICR, USART_ICR_IDLECF); }

static inline void LL_USART_ClearFlag_CM(USART_TypeDef *USARTx) { WRITE_REG(USARTx->ICR, USART_ICR_CMCF); }

/* Data */

static inline uint8_t LL_USART_ReceiveData8(USART_TypeDef *USARTx)
{
    return (uint8_t)(READ_BIT(USARTx->RDR, USART_RDR_RDR) & 0xFFU);
}

static inline void LL_USART_TransmitData8(USART_TypeDef *USARTx, uint8_t Value) { USARTx->TDR = Value; }

/* Applies the frame format, direction, flow control and baud rate; only
   while the USART is disabled (UE clear), else returns ERROR and changes
   nothing. The kernel clock is PCLK, which runs at HCLK = SystemCoreClock. */
ErrorStatus LL_USART_Init(USART_TypeDef *USARTx, const LL_USART_InitTypeDef *USART_InitStruct);

#ifdef __cplusplus
}
#endif

#endif /* STM32F0XX_LL_USART_H */
