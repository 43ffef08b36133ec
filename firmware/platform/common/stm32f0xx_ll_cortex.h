/* Cortex-M0 core helpers: SysTick interrupt control. */
#ifndef STM32F0XX_LL_CORTEX_H
#define STM32F0XX_LL_CORTEX_H

#include "stm32f030x6.h"

#ifdef __cplusplus
extern "C" {
#endif

static inline void LL_SYSTICK_EnableIT(void) { SET_BIT(SysTick->CTRL, SysTick_CTRL_TICKINT_Msk); }

#ifdef __cplusplus
}
#endif

#endif /* STM32F0XX_LL_CORTEX_H */
