/*
 * The one seam between the host build of the firmware and the virtual board.
 *
 * The firmware is built for the host as a loadable module. Its register
 * cells (platform_regs.h) and wait hints call the Port that the board
 * attaches with host_attach(); the board serves each access with a device
 * address, advances virtual time and delivers interrupts between accesses.
 * In return host_attach() hands the board the few parts of the firmware it
 * drives (Firmware): filled in at compile time from the firmware's own
 * declarations, so a renamed or re-typed one fails the build, not a run.
 */
#ifndef HOST_PORT_H
#define HOST_PORT_H

#include <stdint.h>

namespace snt_host {

class Port {
public:
    /* `site` is where in the firmware the read was made. */
    virtual uint32_t read(uint32_t address, unsigned size, const void *site) = 0;
    virtual void     write(uint32_t address, uint32_t value, unsigned size)  = 0;
    /* The firmware spins on memory only: `watched` is the word it polls,
       and nothing but that word ends its loop. The board may return only
       once the word has changed. */
    virtual void wait_hint(const volatile void *watched) = 0;

protected:
    ~Port() = default;
};

/* Core cycles one register access takes. */
constexpr uint64_t kAccessCycles = 2;

/* Stores the firmware makes without calling the Port: to the output data
   (ODR, BSRR, BRR) of a GPIO port that nothing on the board listens to,
   while no event, interrupt, pause or test of the run's end can fall within
   the access. Such a store changes the port's output latch, the time and
   the access count and nothing else; the firmware's delay loops make
   thousands of them a point.

   The board opens them on its way back from a write through the Port by
   copying each quiet port's output latch into `odr` and setting its
   `attention` above `now`, and closes them (attention 0) at the start of
   the next Port call, when it takes over the time they have moved on,
   counts the stores from it and copies the latches back.

   A port whose pins carry a bus (kHandedPorts) is listened to by the
   devices on it, which hear every edge but keep no time: while its stores
   are open each of them is handed to the board at once (`hand_over`),
   without the Port's checks, and `odr` is not used. */
constexpr bool kHandedPorts[2] = {false, true}; /* GPIOF: the synthesizer's bus */

/* The board's record of the last read at one nesting depth, by which it
   tells a polling loop: where the read was made, what it read, and how many
   times in a row the same read has come back the same. */
struct PollRecord {
    const void *site;
    uint32_t    address, value;
    int         repeats;
};

/* The ADC's status (ISR) and data (DR) registers, read without calling the
   Port: an interrupt handler's reads, one pair for each sample. */
constexpr uint32_t kQuietAdcBase = 0x40012400u, kQuietAdcIsr = 0x00, kQuietAdcDr = 0x40;

struct QuietStores {
    uint64_t now;      /* the board's time in core cycles */
    uint64_t accesses; /* register accesses the firmware has made, but for
                          the quiet stores since they were opened: each of
                          those moves `now` on by kAccessCycles, and the
                          board counts them when it closes them */
    /* For GPIOA and GPIOF: a quiet store to the port ends before this
       cycle; 0: the port's stores go to the Port. */
    uint64_t attention[2];
    /* The output latches of GPIOA and GPIOF while their stores are open. */
    uint32_t odr[2];
    /* For a port in kHandedPorts: what a store while they are open calls,
       with its register's offset in the block (ODR, BSRR or BRR) and the
       value stored. */
    void (*hand_over[2])(void *context, uint32_t offset, uint32_t value);
    void *hand_over_context[2];

    /* Quiet reads, of the ADC's ISR and DR only, while no event, interrupt,
       pause or change of the run's end can fall within the access and the
       ADC is clocked: such a read gives the register's value and, for DR,
       clears its end of conversion (`data_read`), and moves `now` on as a
       quiet store does. The board opens them when it enters an interrupt
       handler (never together with the stores) and closes them as it
       closes the stores. A read that repeats the record of the last read
       (`poll`: same place, register and value) goes to the Port, which
       counts the repeats of a polling loop; any other keeps that record as
       the Port would. */
    uint64_t        read_attention; /* a quiet read ends before this cycle; 0: closed */
    const uint32_t *adc_isr;        /* the ADC's registers, as the board keeps them */
    const uint32_t *adc_dr;
    void (*data_read)(void *context); /* what reading DR does besides giving it */
    void       *data_read_context;
    PollRecord *poll; /* the record at the handler's depth */
};

/* Exceptions of the Cortex-M0 with its 32 interrupt lines: 16 + IRQ number. */
constexpr unsigned kExceptionCount = 48;

using Handler = void (*)(void);

/* What the board may reach in the firmware. */
struct Firmware {
    /* Entered from reset, on a thread of the board's. */
    int (*main_entry)(void);
    /* The handler of each exception, by exception number (the vector
       table's order); nullptr where the chip would run Default_Handler. */
    Handler vectors[kExceptionCount];
    /* The word the main loop polls while it waits for a line: its wait
       hint names it, and it is 0 while no line is pending. */
    const volatile uint32_t *line_flag;
    /* Shared with the module's register cells; closed until the board opens it. */
    QuietStores *quiet;
};

} // namespace snt_host

/* Exported by the firmware module: attaches the board's Port and returns the
   firmware's parts, which live as long as the module. */
extern "C" const snt_host::Firmware *host_attach(snt_host::Port *port);

#endif
