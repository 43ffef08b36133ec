/* Hints that only a virtual board needs. */
#ifndef PLATFORM_H
#define PLATFORM_H

/* Placed in a busy-wait that reads only memory: `watched` is the word the
   loop polls. The virtual board lets time pass up to its next event (and
   learns which loop the firmware is idling in); the chip build spins. */
void platform_wait_hint(const volatile void *watched);

#endif
