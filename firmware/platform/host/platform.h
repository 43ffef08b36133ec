/* Hints that only a virtual board needs. */
#ifndef PLATFORM_H
#define PLATFORM_H

/* Placed in a busy-wait that reads only memory: `watched` is the word the
   loop polls. The virtual board lets time pass up to its next event (and
   learns which loop the firmware is idling in); the chip build spins. */
void platform_wait_hint(const volatile void *watched);

#include <stdint.h>

/* (float)sample - x, rounded once: the conversion of a sample is exact. The
   chip build does both steps in one routine. */
static inline float platform_sample_minus(int32_t sample, float x) { return (float)sample - x; }

#endif
