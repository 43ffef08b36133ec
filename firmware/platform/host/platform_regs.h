/* Register cells on the virtual board.
 *
 * Firmware and driver code access registers exactly as on the chip
 * (USART1->ISR, RCC->CR |= ..., NVIC->IP[3] = ...). On the host each cell
 * is a proxy: reading converts through host_reg_read(), assigning goes
 * through host_reg_write(), and the virtual board serves the access with
 * the device address the cell stands for. A compound assignment is a read
 * followed by a write, as the core does it.
 */
#ifndef PLATFORM_REGS_H
#define PLATFORM_REGS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#include "host_port.h"

extern "C++" {

/* Serve one access of `size` bytes to the cell at host address `cell`. */
uint32_t host_reg_read(const void *cell, unsigned size);
void     host_reg_write(const void *cell, uint32_t value, unsigned size);
/* Host memory standing for the register block at device address `base`. */
void *host_periph(uint32_t base);

/* Host memory standing for one register block. A power of two in size and
   aligned to it, so that a cell's window and its offset in it are a shift
   and a mask away. */
struct alignas(0x800) host_window {
    static constexpr size_t kSize = 0x400; /* covers the largest block used */
    alignas(4) unsigned char cells[kSize];
    uint32_t base;
};
static_assert(sizeof(host_window) == 2 * host_window::kSize, "a window's size is a power of two");

/* The windows of this copy of the module. The first two are GPIOA's and
   GPIOF's, in the order of QuietStores::odr, fixed when the module is
   built: a store to one of their cells is then known to be one when the
   firmware is compiled. The third, also fixed, is the ADC's, whose quiet
   reads (QuietStores::read_attention) are then found with one compare. */
constexpr unsigned kHostWindows     = 32;
constexpr uint32_t kHostGpioBases[] = {0x48000000u, 0x48001400u};
constexpr unsigned kHostAdcWindow   = 2;
extern host_window host_windows[kHostWindows] __attribute__((visibility("hidden")));

constexpr int host_fixed_window(uint32_t base)
{
    return base == kHostGpioBases[0]      ? 0
        : base == kHostGpioBases[1]       ? 1
        : base == snt_host::kQuietAdcBase ? static_cast<int>(kHostAdcWindow)
                                          : -1;
}

/* host_periph() of a block the code names by a constant, looked up once:
   every register use names its block (GPIOA->BSRR), thousands of times a
   point in the synthesizer's delays. Hidden, so that each loaded copy of
   the module keeps its own (a default-visibility static of an inline
   function would be one object for the whole process). */
template <uint32_t Base>
__attribute__((always_inline, visibility("hidden"))) inline void *host_periph_of()
{
    if constexpr (host_fixed_window(Base) >= 0) {
        return host_windows[host_fixed_window(Base)].cells;
    } else {
        static void *const cells = host_periph(Base);
        /* Each block's window is aligned to its size: the offset of a cell
           the code names is then known when the module is compiled. */
        return __builtin_assume_aligned(cells, sizeof(host_window));
    }
}

/* What this copy of the module shares with the board (host_port.h). */
extern snt_host::QuietStores host_quiet __attribute__((visibility("hidden")));
static_assert(sizeof(snt_host::QuietStores::odr) / sizeof(uint32_t) ==
                      sizeof kHostGpioBases / sizeof kHostGpioBases[0] &&
                  sizeof(snt_host::QuietStores::attention) / sizeof(uint64_t) ==
                      sizeof kHostGpioBases / sizeof kHostGpioBases[0],
              "a latch and an attention cycle for each fixed window");

/* A word store the board has opened to the firmware (QuietStores): made
   here, with no call, or for a port in kHandedPorts handed to the board
   with one plain call. False, with nothing done, for any other store. The
   output data registers and what a store to each does to ODR are the
   chip's: BSRR's set half wins over its reset half for a pin in both. */
template <typename T>
__attribute__((always_inline)) inline bool host_quiet_store(const void *cell, T value)
{
    if (sizeof(T) != 4) {
        return false;
    }
    /* Both known when the firmware is compiled, for a cell it names. */
    const uintptr_t from_first = reinterpret_cast<uintptr_t>(cell) - reinterpret_cast<uintptr_t>(host_windows);
    const uintptr_t port       = from_first / sizeof(host_window);
    const uint32_t  offset     = static_cast<uint32_t>(from_first % sizeof(host_window));
    if (port >= sizeof kHostGpioBases / sizeof kHostGpioBases[0]) {
        return false;
    }
    snt_host::QuietStores &q   = host_quiet;
    const uint64_t         end = q.now + snt_host::kAccessCycles;
    if (end >= q.attention[port]) {
        return false;
    }
    const uint32_t v = static_cast<uint32_t>(value);
    if (snt_host::kHandedPorts[port]) {
        if (offset != 0x18 && offset != 0x28 && offset != 0x14) {
            return false;
        }
        q.now = end;
        q.hand_over[port](q.hand_over_context[port], offset, v);
        return true;
    }
    uint32_t &odr = q.odr[port];
    if (offset == 0x18) { /* BSRR */
        odr = ((odr & ~(v >> 16)) | v) & 0xFFFFu;
    } else if (offset == 0x28) { /* BRR */
        odr = odr & ~v & 0xFFFFu;
    } else if (offset == 0x14) { /* ODR */
        odr = v & 0xFFFFu;
    } else {
        return false;
    }
    q.now = end; /* the board counts the access from the time it took */
    return true;
}

template <typename T>
class host_reg {
public:
    host_reg()                            = delete;
    host_reg(const host_reg &)            = delete;
    host_reg &operator=(const host_reg &) = delete;

    /* Always inlined, so that the board sees the firmware's own call site of
       each read and can tell a polling loop from straight-line code. */
    __attribute__((always_inline)) operator T() const { return static_cast<T>(host_reg_read(this, sizeof(T))); }
    __attribute__((always_inline)) host_reg &operator=(T v)
    {
        if (!host_quiet_store(this, v)) {
            host_reg_write(this, v, sizeof(T));
        }
        return *this;
    }
    host_reg &operator|=(T v) { return *this = static_cast<T>(T(*this) | v); }
    host_reg &operator&=(T v) { return *this = static_cast<T>(T(*this) & v); }
    host_reg &operator^=(T v) { return *this = static_cast<T>(T(*this) ^ v); }

private:
    T place_; /* keeps the cell's size and offset inside its block */
};

} /* extern "C++" */

typedef host_reg<uint32_t> reg32_t;
typedef host_reg<uint16_t> reg16_t;

static_assert(sizeof(reg32_t) == 4 && sizeof(reg16_t) == 2, "register cells keep the device layout");

/* `type` is a type name, which parentheses would not allow. */
#define PERIPH_PTR(type, base)                                                                                         \
    (reinterpret_cast<type *>(host_periph_of<(base)>())) /* NOLINT(bugprone-macro-parentheses) */
#endif

#endif
