/*
 * The one seam between the host build of the firmware and the virtual board.
 *
 * The firmware is built for the host as a loadable module. Its register
 * cells (platform_regs.h) and wait hints call the Port that the board
 * attaches with host_attach(); the board serves each access with a device
 * address, advances virtual time and delivers interrupts between accesses.
 */
#ifndef HOST_PORT_H
#define HOST_PORT_H

#include <stdint.h>

namespace snt_host {

class Port {
public:
    /* `site` is where in the firmware the read was made. */
    virtual uint32_t read(uint32_t address, unsigned size, const void *site) = 0;
    virtual void write(uint32_t address, uint32_t value, unsigned size) = 0;
    /* The firmware spins on memory only: `watched` is the word it polls. */
    virtual void wait_hint(const volatile void *watched) = 0;

protected:
    ~Port() = default;
};

} // namespace snt_host

/* Exported by the firmware module. */
extern "C" void host_attach(snt_host::Port *port);

#endif
