/* Register cells on the chip: plain volatile memory at the device addresses. */
#ifndef PLATFORM_REGS_H
#define PLATFORM_REGS_H

#include <stdint.h>

typedef volatile uint32_t reg32_t;
typedef volatile uint16_t reg16_t;

/* A peripheral's register block sits at its bus address. */
#define PERIPH_PTR(type, base) ((type *)(base))

#endif
