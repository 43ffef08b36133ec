/* Reset and clock control: HSI and HSI14 oscillators, bus prescalers,
   system clock switch and the USART1 kernel clock selector. */
#ifndef STM32F0XX_LL_RCC_H
#define STM32F0XX_LL_RCC_H

#include "stm32f030x6.h"

#ifdef __cplusplus
extern "C" {
#endif

/* System clock source (CFGR SW) */
#define LL_RCC_SYS_CLKSOURCE_HSI RCC_CFGR_SW_HSI
#define LL_RCC_SYS_CLKSOURCE_HSE RCC_CFGR_SW_HSE
#define LL_RCC_SYS_CLKSOURCE_PLL RCC_CFGR_SW_PLL

/* System clock source in use (CFGR SWS) */
#define LL_RCC_SYS_CLKSOURCE_STATUS_HSI RCC_CFGR_SWS_HSI
#define LL_RCC_SYS_CLKSOURCE_STATUS_HSE RCC_CFGR_SWS_HSE
#define LL_RCC_SYS_CLKSOURCE_STATUS_PLL RCC_CFGR_SWS_PLL

/* AHB prescaler (CFGR HPRE) */
#define LL_RCC_SYSCLK_DIV_1   RCC_CFGR_HPRE_DIV1
#define LL_RCC_SYSCLK_DIV_2   RCC_CFGR_HPRE_DIV2
#define LL_RCC_SYSCLK_DIV_4   RCC_CFGR_HPRE_DIV4
#define LL_RCC_SYSCLK_DIV_8   RCC_CFGR_HPRE_DIV8
#define LL_RCC_SYSCLK_DIV_16  RCC_CFGR_HPRE_DIV16
#define LL_RCC_SYSCLK_DIV_64  RCC_CFGR_HPRE_DIV64
#define LL_RCC_SYSCLK_DIV_128 RCC_CFGR_HPRE_DIV128
#define LL_RCC_SYSCLK_DIV_256 RCC_CFGR_HPRE_DIV256
#define LL_RCC_SYSCLK_DIV_512 RCC_CFGR_HPRE_DIV512

/* APB prescaler (CFGR PPRE) */
#define LL_RCC_APB1_DIV_1  RCC_CFGR_PPRE_DIV1
#define LL_RCC_APB1_DIV_2  RCC_CFGR_PPRE_DIV2
#define LL_RCC_APB1_DIV_4  RCC_CFGR_PPRE_DIV4
#define LL_RCC_APB1_DIV_8  RCC_CFGR_PPRE_DIV8
#define LL_RCC_APB1_DIV_16 RCC_CFGR_PPRE_DIV16

/* USART1 kernel clock (CFGR3 USART1SW). The top byte carries the selector
   field's mask, the low bits the value written into it. */
#define LL_RCC_USART1_CLKSOURCE_PCLK1  ((RCC_CFGR3_USART1SW << 24) | RCC_CFGR3_USART1SW_PCLK)
#define LL_RCC_USART1_CLKSOURCE_SYSCLK ((RCC_CFGR3_USART1SW << 24) | RCC_CFGR3_USART1SW_SYSCLK)
#define LL_RCC_USART1_CLKSOURCE_LSE    ((RCC_CFGR3_USART1SW << 24) | RCC_CFGR3_USART1SW_LSE)
#define LL_RCC_USART1_CLKSOURCE_HSI    ((RCC_CFGR3_USART1SW << 24) | RCC_CFGR3_USART1SW_HSI)

/* HSI (8 MHz) */

static inline void LL_RCC_HSI_Enable(void) { SET_BIT(RCC->CR, RCC_CR_HSION); }

static inline uint32_t LL_RCC_HSI_IsReady(void)
{
    return (READ_BIT(RCC->CR, RCC_CR_HSIRDY) == RCC_CR_HSIRDY) ? 1U : 0U;
}

/* Value: trimming 0..31 (16 is the factory centre). */
static inline void LL_RCC_HSI_SetCalibTrimming(uint32_t Value)
{
    MODIFY_REG(RCC->CR, RCC_CR_HSITRIM, (Value << RCC_CR_HSITRIM_Pos) & RCC_CR_HSITRIM);
}

/* HSI14 (ADC clock) */

static inline void LL_RCC_HSI14_Enable(void) { SET_BIT(RCC->CR2, RCC_CR2_HSI14ON); }

static inline uint32_t LL_RCC_HSI14_IsReady(void)
{
    return (READ_BIT(RCC->CR2, RCC_CR2_HSI14RDY) == RCC_CR2_HSI14RDY) ? 1U : 0U;
}

/* Value: trimming 0..31 (16 is the factory centre). */
static inline void LL_RCC_HSI14_SetCalibTrimming(uint32_t Value)
{
    MODIFY_REG(RCC->CR2, RCC_CR2_HSI14TRIM, (Value << RCC_CR2_HSI14TRIM_Pos) & RCC_CR2_HSI14TRIM);
}

/* Let the ADC switch HSI14 on and off as it needs it. */
static inline void LL_RCC_HSI14_EnableADCControl(void) { CLEAR_BIT(RCC->CR2, RCC_CR2_HSI14DIS); }

/* Prescalers and system clock */

static inline void LL_RCC_SetAHBPrescaler(uint32_t Prescaler) { MODIFY_REG(RCC->CFGR, RCC_CFGR_HPRE, Prescaler); }

static inline void LL_RCC_SetAPB1Prescaler(uint32_t Prescaler) { MODIFY_REG(RCC->CFGR, RCC_CFGR_PPRE, Prescaler); }

static inline void LL_RCC_SetSysClkSource(uint32_t Source) { MODIFY_REG(RCC->CFGR, RCC_CFGR_SW, Source); }

static inline uint32_t LL_RCC_GetSysClkSource(void) { return (uint32_t)READ_BIT(RCC->CFGR, RCC_CFGR_SWS); }

/* Peripheral kernel clocks */

static inline void LL_RCC_SetUSARTClockSource(uint32_t USARTxSource)
{
    MODIFY_REG(RCC->CFGR3, USARTxSource >> 24, USARTxSource & 0x00FFFFFFU);
}

#ifdef __cplusplus
}
#endif

#endif /* STM32F0XX_LL_RCC_H */
