/* System-level settings: flash wait states. */
#ifndef STM32F0XX_LL_SYSTEM_H
#define STM32F0XX_LL_SYSTEM_H

#include "stm32f030x6.h"

#ifdef __cplusplus
extern "C" {
#endif

#define LL_FLASH_LATENCY_0 FLASH_ACR_LATENCY_0WS /* SYSCLK <= 24 MHz */
#define LL_FLASH_LATENCY_1 FLASH_ACR_LATENCY_1WS /* 24 MHz < SYSCLK <= 48 MHz */

static inline void LL_FLASH_SetLatency(uint32_t Latency) { MODIFY_REG(FLASH->ACR, FLASH_ACR_LATENCY, Latency); }

static inline uint32_t LL_FLASH_GetLatency(void) { return (uint32_t)READ_BIT(FLASH->ACR, FLASH_ACR_LATENCY); }

#ifdef __cplusplus
}
#endif

#endif /* STM32F0XX_LL_SYSTEM_H */
