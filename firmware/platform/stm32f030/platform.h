/* Hints that only a virtual board needs; on the chip they cost nothing. */
#ifndef PLATFORM_H
#define PLATFORM_H

/* Placed in a busy-wait that reads only memory: `watched` is the word the
   loop polls. The chip just spins; a virtual board lets time pass instead. */
static inline void platform_wait_hint(const volatile void *watched) { (void)watched; }

#endif
