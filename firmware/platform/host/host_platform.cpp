/*
 * Register cells and wait hints of the host build, served by the attached
 * virtual board. Each peripheral block the firmware names gets a window of
 * host memory; a cell's device address is its window's base plus its offset.
 */
#include <stdio.h>
#include <stdlib.h>

#include "host_port.h"
#include "platform.h"
#include "platform_regs.h"

namespace {

constexpr unsigned kWindowSize = 0x400; /* covers the largest block used */
constexpr unsigned kMaxWindows = 32;

struct Window {
    uint32_t base;
    alignas(4) unsigned char cells[kWindowSize];
};

Window g_windows[kMaxWindows];
unsigned g_window_count;
snt_host::Port *g_port;

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "firmware module: %s\n", what);
    abort();
}

snt_host::Port &port()
{
    if (g_port == nullptr) {
        fail("register access with no board attached");
    }
    return *g_port;
}

Window *g_last_window;

uint32_t device_address(const void *cell)
{
    const unsigned char *p = static_cast<const unsigned char *>(cell);
    /* Runs of accesses mostly stay in one block: look there first. */
    if (g_last_window != nullptr && p >= g_last_window->cells && p < g_last_window->cells + kWindowSize) {
        return g_last_window->base + static_cast<uint32_t>(p - g_last_window->cells);
    }
    for (unsigned i = 0; i < g_window_count; ++i) {
        const unsigned char *start = g_windows[i].cells;
        if (p >= start && p < start + kWindowSize) {
            g_last_window = &g_windows[i];
            return g_windows[i].base + static_cast<uint32_t>(p - start);
        }
    }
    fail("access to a cell outside every register block");
}

} // namespace

void *host_periph(uint32_t base)
{
    /* Every register use names its block: mostly the one used last. */
    if (g_last_window != nullptr && g_last_window->base == base) {
        return g_last_window->cells;
    }
    for (unsigned i = 0; i < g_window_count; ++i) {
        if (g_windows[i].base == base) {
            return g_windows[i].cells;
        }
    }
    if (g_window_count == kMaxWindows) {
        fail("too many register blocks");
    }
    g_windows[g_window_count].base = base;
    return g_windows[g_window_count++].cells;
}

uint32_t host_reg_read(const void *cell, unsigned size)
{
    return port().read(device_address(cell), size, __builtin_return_address(0));
}

void host_reg_write(const void *cell, uint32_t value, unsigned size)
{
    port().write(device_address(cell), value, size);
}

void platform_wait_hint(const volatile void *watched) { port().wait_hint(watched); }

extern "C" void host_attach(snt_host::Port *p) { g_port = p; }
