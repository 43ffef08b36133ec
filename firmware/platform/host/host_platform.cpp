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
static_assert(snt_host::kQuietAdcBase == ADC1_BASE, "the third fixed window is the ADC's");

Window *const   g_windows      = host_windows;
unsigned        g_window_count = 3; /* the fixed ones */
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
host_window           host_windows[kHostWindows] = {
              {{}, kHostGpioBases[0]}, {{}, kHostGpioBases[1]}, {{}, snt_host::kQuietAdcBase}};

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

namespace {

/* A read the board has opened to the firmware (QuietStores::read_attention):
   the ADC's ISR or DR, made with no call to the Port, keeping the board's
   record of the last read as its own path would. False, with nothing done,
   for any other read, and for one that repeats that record: the Port counts
   the repeats of a polling loop. */
inline bool quiet_read(const void *cell, unsigned size, const void *site, uint32_t &value)
{
    snt_host::QuietStores &q   = host_quiet;
    const uint64_t         end = q.now + snt_host::kAccessCycles;
    if (end >= q.read_attention) {
        return false;
    }
    const uintptr_t offset =
        reinterpret_cast<uintptr_t>(cell) - reinterpret_cast<uintptr_t>(host_windows[kHostAdcWindow].cells);
    const bool data = offset == snt_host::kQuietAdcDr;
    if (size != 4 || (offset != snt_host::kQuietAdcIsr && !data)) {
        return false;
    }
    const uint32_t        address = snt_host::kQuietAdcBase + static_cast<uint32_t>(offset);
    const uint32_t        v       = data ? *q.adc_dr : *q.adc_isr;
    snt_host::PollRecord &p       = *q.poll;
    if (p.site == site && p.address == address && p.value == v) {
        return false;
    }
    p     = snt_host::PollRecord{site, address, v, 0};
    q.now = end; /* the board counts the access from the time it took */
    if (data) {
        q.data_read(q.data_read_context);
    }
    value = v;
    return true;
}

} // namespace

uint32_t host_reg_read(const void *cell, unsigned size)
{
    const void *site = __builtin_return_address(0);
    uint32_t    value;
    if (quiet_read(cell, size, site, value)) {
        return value;
    }
    return port().read(device_address(cell), size, site);
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
