/* Hints that only a virtual board needs; on the chip they cost nothing. */
#ifndef PLATFORM_H
#define PLATFORM_H

/* Placed in a busy-wait that reads only memory: `watched` is the word the
   loop polls. The chip just spins; a virtual board lets time pass instead. */
static inline void platform_wait_hint(const volatile void *watched) { (void)watched; }

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
/* (float)sample - x, rounded once, for a sample of the ADC (0..4095; any
   other int is converted first). The sample converts exactly, so this is
   bit for bit the subtraction after the conversion; the chip does both in
   one routine (soft_float.S) instead of two calls. */
float platform_sample_minus(int32_t sample, float x);
#ifdef __cplusplus
}
#endif

#endif
