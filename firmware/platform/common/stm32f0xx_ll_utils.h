/* Time base and system clock bookkeeping: SysTick 1 ms tick, blocking
   millisecond delay, SystemCoreClock update. */
#ifndef STM32F0XX_LL_UTILS_H
#define STM32F0XX_LL_UTILS_H

/* Needs no register definitions: the virtual board's tests include it. */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* SysTick counts HCLK and wraps every HCLKFrequency / Ticks cycles; its
   interrupt stays off. */
void LL_InitTick(uint32_t HCLKFrequency, uint32_t Ticks);

/* SysTick wraps every millisecond. */
void LL_Init1msTick(uint32_t HCLKFrequency);

/* Busy-waits Delay milliseconds (at least) by counting SysTick wraps;
   needs the 1 ms tick. */
void LL_mDelay(uint32_t Delay);

/* Records the HCLK frequency in SystemCoreClock. */
void LL_SetSystemCoreClock(uint32_t HCLKFrequency);

#ifdef __cplusplus
}
#endif

#endif /* STM32F0XX_LL_UTILS_H */
