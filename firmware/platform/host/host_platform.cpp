/*
 * Register cells and wait hints of the host build, served by the attached
 * virtual board. Each peripheral block the firmware names gets a window of
 * host memory; a cell's device address is its window's base plus its offset.
 */
#include <stdio.h>
#include <stdlib.h>

#include "host_port.h"
#include "main.h"
#include "platform.h"
#include "platform_regs.h"
#include "stm32f0xx_it.h"

namespace {

constexpr size_t   kWindowSize = host_window::kSize;
constexpr unsigned kMaxWindows = kHostWindows;

using Window = host_window;
static_assert(kHostGpioBases[0] == GPIOA_BASE && kHostGpioBases[1] == GPIOF_BASE,
              "the fixed windows are the GPIO ports'");

Window *const   g_windows      = host_windows;
unsigned        g_window_count = 2; /* the fixed ones */
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

uint32_t device_address(const void *cell)
{
    const uintptr_t from_first = reinterpret_cast<uintptr_t>(cell) - reinterpret_cast<uintptr_t>(g_windows);
    const uintptr_t index      = from_first / sizeof(Window);
    const uintptr_t offset     = from_first % sizeof(Window);
    if (index >= g_window_count || offset >= kWindowSize) {
        fail("access to a cell outside every register block");
    }
    return g_windows[index].base + static_cast<uint32_t>(offset);
}

} // namespace

snt_host::QuietStores host_quiet;
host_window           host_windows[kHostWindows] = {{{}, kHostGpioBases[0]}, {{}, kHostGpioBases[1]}};

void *host_periph(uint32_t base)
{
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

namespace {

constexpr unsigned exception_of(IRQn_Type irq) { return static_cast<unsigned>(16 + static_cast<int>(irq)); }
static_assert(exception_of(NonMaskableInt_IRQn) == 2 && exception_of(SysTick_IRQn) == 15,
              "exception numbers as in the vector table");
static_assert(exception_of(USART1_IRQn) < snt_host::kExceptionCount, "every interrupt has a vector");

/* The handlers the firmware defines, at the places the chip's vector table
   (startup_stm32f030x6.cpp) gives them. */
constexpr snt_host::Firmware firmware_parts()
{
    snt_host::Firmware f{};
    f.main_entry                                 = &main;
    f.vectors[exception_of(NonMaskableInt_IRQn)] = &NMI_Handler;
    f.vectors[exception_of(HardFault_IRQn)]      = &HardFault_Handler;
    f.vectors[exception_of(SVC_IRQn)]            = &SVC_Handler;
    f.vectors[exception_of(PendSV_IRQn)]         = &PendSV_Handler;
    f.vectors[exception_of(SysTick_IRQn)]        = &SysTick_Handler;
    f.vectors[exception_of(ADC1_IRQn)]           = &ADC1_IRQHandler;
    f.vectors[exception_of(USART1_IRQn)]         = &USART1_IRQHandler;
    f.line_flag                                  = &rx_byte_f;
    f.quiet                                      = &host_quiet;
    return f;
}

constexpr snt_host::Firmware kFirmware = firmware_parts();

} // namespace

extern "C" const snt_host::Firmware *host_attach(snt_host::Port *p)
{
    g_port     = p;
    host_quiet = snt_host::QuietStores{};
    return &kFirmware;
}
