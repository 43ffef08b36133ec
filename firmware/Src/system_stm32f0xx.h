#ifndef SYSTEM_STM32F0XX_H
#define SYSTEM_STM32F0XX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Core clock in Hz; 8 MHz from the internal oscillator. */
extern uint32_t SystemCoreClock;

void SystemInit(void);

#ifdef __cplusplus
}
#endif

#endif
