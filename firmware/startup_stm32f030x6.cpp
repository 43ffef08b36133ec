// Start-up code of the STM32F030x6 image: vector table, reset entry and the
// fallback handler for interrupts nobody claims.
//
// Reset sequence: SystemInit() (empty; main sets the clocks up) -> copy .data
// initial values from flash -> clear .bss -> run static constructors (none
// today) -> main(). The symbols used here come from stm32f030x6.ld.

#include <stdint.h>

#include "system_stm32f0xx.h"

// ---------------------------------------------------------------------------
// Symbols provided by the linker script.
extern "C" {
extern uint32_t _estack[]; // top of the 1 KB stack above the globals
extern uint32_t _sidata[]; // .data initial values in flash
extern uint32_t _sdata[];  // .data start in RAM
extern uint32_t _edata[];  // .data end in RAM (word aligned)
extern uint32_t _sbss[];   // .bss start (word aligned)
extern uint32_t _ebss[];   // .bss end (word aligned)

typedef void (*init_fn_t)(void);
extern init_fn_t __preinit_array_start[];
extern init_fn_t __preinit_array_end[];
extern init_fn_t __init_array_start[];
extern init_fn_t __init_array_end[];

// Thread-local storage of the C library (errno). The set-up routine only
// exists in the link if something uses thread-local data; otherwise the
// weak reference stays zero and nothing is pulled in.
extern char __tls_base[] __attribute__((weak));
void        _set_tls(void *tls) __attribute__((weak));
}

// The application entry. Referred to by its symbol name so that the
// start-up code may call it like any other function.
extern int app_main(void) __asm__("main");

// ---------------------------------------------------------------------------
// Handlers. The firmware defines these itself (stm32f0xx_it.cpp); there is
// deliberately no default, so a missing one fails the link.
extern "C" {
void Reset_Handler(void);
void Default_Handler(void);

void NMI_Handler(void);
void HardFault_Handler(void);
void SVC_Handler(void);
void PendSV_Handler(void);
void SysTick_Handler(void);
void ADC1_IRQHandler(void);
void USART1_IRQHandler(void);

// Interrupts the firmware does not use: they all end in Default_Handler
// unless the firmware defines a handler of the same name.
#define SNT_SPARE_HANDLER(name) void name(void) __attribute__((weak, alias("Default_Handler")))
SNT_SPARE_HANDLER(WWDG_IRQHandler);
SNT_SPARE_HANDLER(RTC_IRQHandler);
SNT_SPARE_HANDLER(FLASH_IRQHandler);
SNT_SPARE_HANDLER(RCC_IRQHandler);
SNT_SPARE_HANDLER(EXTI0_1_IRQHandler);
SNT_SPARE_HANDLER(EXTI2_3_IRQHandler);
SNT_SPARE_HANDLER(EXTI4_15_IRQHandler);
SNT_SPARE_HANDLER(DMA1_Channel1_IRQHandler);
SNT_SPARE_HANDLER(DMA1_Channel2_3_IRQHandler);
SNT_SPARE_HANDLER(DMA1_Channel4_5_IRQHandler);
SNT_SPARE_HANDLER(TIM1_BRK_UP_TRG_COM_IRQHandler);
SNT_SPARE_HANDLER(TIM1_CC_IRQHandler);
SNT_SPARE_HANDLER(TIM3_IRQHandler);
SNT_SPARE_HANDLER(TIM14_IRQHandler);
SNT_SPARE_HANDLER(TIM16_IRQHandler);
SNT_SPARE_HANDLER(TIM17_IRQHandler);
SNT_SPARE_HANDLER(I2C1_IRQHandler);
SNT_SPARE_HANDLER(SPI1_IRQHandler);
#undef SNT_SPARE_HANDLER
}

// ---------------------------------------------------------------------------
// Vector table: 16 system entries followed by IRQ 0..27. Placed at
// 0x08000000 by the linker script, which also checks its size.
#define SNT_VEC(fn) reinterpret_cast<uint32_t>(&(fn))

extern "C" __attribute__((section(".isr_vector"), used)) const uint32_t g_vector_table[44] = {
    SNT_VEC(_estack),           //  0 initial stack pointer
    SNT_VEC(Reset_Handler),     //  1 reset
    SNT_VEC(NMI_Handler),       //  2 NMI
    SNT_VEC(HardFault_Handler), //  3 hard fault
    0,
    0,
    0,
    0,
    0,
    0,
    0,                    //  4..10 reserved
    SNT_VEC(SVC_Handler), // 11 SVCall
    0,
    0,                        // 12..13 reserved
    SNT_VEC(PendSV_Handler),  // 14 PendSV
    SNT_VEC(SysTick_Handler), // 15 SysTick

    SNT_VEC(WWDG_IRQHandler),                // IRQ  0 window watchdog
    0,                                       // IRQ  1
    SNT_VEC(RTC_IRQHandler),                 // IRQ  2 RTC
    SNT_VEC(FLASH_IRQHandler),               // IRQ  3 flash
    SNT_VEC(RCC_IRQHandler),                 // IRQ  4 RCC
    SNT_VEC(EXTI0_1_IRQHandler),             // IRQ  5 EXTI 0..1
    SNT_VEC(EXTI2_3_IRQHandler),             // IRQ  6 EXTI 2..3
    SNT_VEC(EXTI4_15_IRQHandler),            // IRQ  7 EXTI 4..15
    0,                                       // IRQ  8
    SNT_VEC(DMA1_Channel1_IRQHandler),       // IRQ  9 DMA channel 1
    SNT_VEC(DMA1_Channel2_3_IRQHandler),     // IRQ 10 DMA channels 2..3
    SNT_VEC(DMA1_Channel4_5_IRQHandler),     // IRQ 11 DMA channels 4..5
    SNT_VEC(ADC1_IRQHandler),                // IRQ 12 ADC
    SNT_VEC(TIM1_BRK_UP_TRG_COM_IRQHandler), // IRQ 13 TIM1 break/update/trigger/commutation
    SNT_VEC(TIM1_CC_IRQHandler),             // IRQ 14 TIM1 capture/compare
    0,                                       // IRQ 15
    SNT_VEC(TIM3_IRQHandler),                // IRQ 16 TIM3
    0,                                       // IRQ 17
    0,                                       // IRQ 18
    SNT_VEC(TIM14_IRQHandler),               // IRQ 19 TIM14
    0,                                       // IRQ 20
    SNT_VEC(TIM16_IRQHandler),               // IRQ 21 TIM16
    SNT_VEC(TIM17_IRQHandler),               // IRQ 22 TIM17
    SNT_VEC(I2C1_IRQHandler),                // IRQ 23 I2C1
    0,                                       // IRQ 24
    SNT_VEC(SPI1_IRQHandler),                // IRQ 25 SPI1
    0,                                       // IRQ 26
    SNT_VEC(USART1_IRQHandler),              // IRQ 27 USART1
};
#undef SNT_VEC

static_assert(sizeof(g_vector_table) == 44 * sizeof(uint32_t), "vector table size");

// ---------------------------------------------------------------------------
// The loops below run before .data/.bss are valid and must not become
// memcpy/memset calls: the empty asm statement keeps the compiler from
// recognising them as such.
static inline void copy_words(uint32_t *dst, const uint32_t *src, const uint32_t *dst_end)
{
    while (dst < dst_end) {
        *dst++ = *src++;
        __asm__ volatile("" ::: "memory");
    }
}

static inline void zero_words(uint32_t *dst, const uint32_t *dst_end)
{
    while (dst < dst_end) {
        *dst++ = 0;
        __asm__ volatile("" ::: "memory");
    }
}

static inline void run_list(init_fn_t *first, init_fn_t *last)
{
    for (; first < last; ++first) {
        (*first)();
    }
}

extern "C" __attribute__((noreturn)) void Reset_Handler(void)
{
    // The core has already loaded SP from word 0 of the vector table.
    SystemInit();

    copy_words(_sdata, _sidata, _edata);
    zero_words(_sbss, _ebss);

    if (_set_tls != nullptr) {
        _set_tls(__tls_base);
    }

    run_list(__preinit_array_start, __preinit_array_end);
    run_list(__init_array_start, __init_array_end);

    (void)app_main();

    // main() is not expected to return; if it does, stay here.
    for (;;) {}
}

extern "C" void Default_Handler(void)
{
    // An interrupt without a handler: stop here so a debugger shows where.
    for (;;) {}
}
