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

#include <stdint.h>

#ifdef __cplusplus
extern "C++" {

/* Serve one access of `size` bytes to the cell at host address `cell`. */
uint32_t host_reg_read(const void *cell, unsigned size);
void     host_reg_write(const void *cell, uint32_t value, unsigned size);
/* Host memory standing for the register block at device address `base`. */
void *host_periph(uint32_t base);

/* host_periph() of a block the code names by a constant, looked up once:
   every register use names its block (GPIOA->BSRR), thousands of times a
   point in the synthesizer's delays. Hidden, so that each loaded copy of
   the module keeps its own (a default-visibility static of an inline
   function would be one object for the whole process). */
template <uint32_t Base>
__attribute__((always_inline, visibility("hidden"))) inline void *host_periph_of()
{
    static void *const cells = host_periph(Base);
    return cells;
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
        host_reg_write(this, v, sizeof(T));
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
