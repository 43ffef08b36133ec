#include "system_stm32f0xx.h"

uint32_t SystemCoreClock = CORE_HZ;

/* The reset path calls this before the globals are filled in. All clock
   set-up happens later, in SystemClock_Config, once main runs. */
void SystemInit(void) {}
