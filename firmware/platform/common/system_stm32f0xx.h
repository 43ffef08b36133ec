/* The device's clock: the core clock's value and the reset-time set-up. */
#ifndef SYSTEM_STM32F0XX_H
#define SYSTEM_STM32F0XX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Core clock in Hz: 8 MHz from the internal oscillator, no PLL. */
#define CORE_HZ 8000000u

/* The core clock as the driver layer reads it. */
extern uint32_t SystemCoreClock;

void SystemInit(void);

#ifdef __cplusplus
}
#endif

#endif
