/* Bus clock gating: AHB, APB1 and APB2 peripheral clock enables. */
#ifndef STM32F0XX_LL_BUS_H
#define STM32F0XX_LL_BUS_H

#include "stm32f030x6.h"

#ifdef __cplusplus
extern "C" {
#endif

/* AHB peripherals (RCC_AHBENR) */
#define LL_AHB1_GRP1_PERIPH_DMA1  RCC_AHBENR_DMAEN
#define LL_AHB1_GRP1_PERIPH_SRAM  RCC_AHBENR_SRAMEN
#define LL_AHB1_GRP1_PERIPH_FLASH RCC_AHBENR_FLITFEN
#define LL_AHB1_GRP1_PERIPH_CRC   RCC_AHBENR_CRCEN
#define LL_AHB1_GRP1_PERIPH_GPIOA RCC_AHBENR_GPIOAEN
#define LL_AHB1_GRP1_PERIPH_GPIOB RCC_AHBENR_GPIOBEN
#define LL_AHB1_GRP1_PERIPH_GPIOC RCC_AHBENR_GPIOCEN
#define LL_AHB1_GRP1_PERIPH_GPIOD RCC_AHBENR_GPIODEN
#define LL_AHB1_GRP1_PERIPH_GPIOF RCC_AHBENR_GPIOFEN

/* APB1 peripherals (RCC_APB1ENR) */
#define LL_APB1_GRP1_PERIPH_TIM3  RCC_APB1ENR_TIM3EN
#define LL_APB1_GRP1_PERIPH_TIM14 RCC_APB1ENR_TIM14EN
#define LL_APB1_GRP1_PERIPH_WWDG  RCC_APB1ENR_WWDGEN
#define LL_APB1_GRP1_PERIPH_I2C1  RCC_APB1ENR_I2C1EN
#define LL_APB1_GRP1_PERIPH_PWR   RCC_APB1ENR_PWREN

/* APB2 peripherals (RCC_APB2ENR), reached through the APB1 bus group 2 */
#define LL_APB1_GRP2_PERIPH_SYSCFG RCC_APB2ENR_SYSCFGEN
#define LL_APB1_GRP2_PERIPH_ADC1   RCC_APB2ENR_ADCEN
#define LL_APB1_GRP2_PERIPH_TIM1   RCC_APB2ENR_TIM1EN
#define LL_APB1_GRP2_PERIPH_SPI1   RCC_APB2ENR_SPI1EN
#define LL_APB1_GRP2_PERIPH_USART1 RCC_APB2ENR_USART1EN
#define LL_APB1_GRP2_PERIPH_TIM16  RCC_APB2ENR_TIM16EN
#define LL_APB1_GRP2_PERIPH_TIM17  RCC_APB2ENR_TIM17EN
#define LL_APB1_GRP2_PERIPH_DBGMCU RCC_APB2ENR_DBGMCUEN

/* Each enable reads the register back once: the read completes only after
   the write, so the peripheral is clocked before the caller touches it. */

static inline void LL_AHB1_GRP1_EnableClock(uint32_t Periphs)
{
    SET_BIT(RCC->AHBENR, Periphs);
    uint32_t tmpreg = READ_BIT(RCC->AHBENR, Periphs);
    (void)tmpreg;
}

static inline void LL_APB1_GRP1_EnableClock(uint32_t Periphs)
{
    SET_BIT(RCC->APB1ENR, Periphs);
    uint32_t tmpreg = READ_BIT(RCC->APB1ENR, Periphs);
    (void)tmpreg;
}

static inline void LL_APB1_GRP2_EnableClock(uint32_t Periphs)
{
    SET_BIT(RCC->APB2ENR, Periphs);
    uint32_t tmpreg = READ_BIT(RCC->APB2ENR, Periphs);
    (void)tmpreg;
}

#ifdef __cplusplus
}
#endif

#endif /* STM32F0XX_LL_BUS_H */
