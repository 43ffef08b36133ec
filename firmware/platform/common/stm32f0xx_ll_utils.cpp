/* SysTick time base, millisecond delay and SystemCoreClock update. */
#include "stm32f0xx_ll_utils.h"
#include "stm32f030x6.h"
#include "system_stm32f0xx.h"

void LL_InitTick(uint32_t HCLKFrequency, uint32_t Ticks)
{
    SysTick->LOAD = (HCLKFrequency / Ticks) - 1U;
    SysTick->VAL  = 0U;
    SysTick->CTRL = SysTick_CTRL_CLKSOURCE_Msk | SysTick_CTRL_ENABLE_Msk;
}

void LL_Init1msTick(uint32_t HCLKFrequency) { LL_InitTick(HCLKFrequency, 1000U); }

void LL_mDelay(uint32_t Delay)
{
    /* Reading CTRL clears a COUNTFLAG left over from before the call. */
    volatile uint32_t tmp = SysTick->CTRL;
    (void)tmp;

    /* One more wrap so that at least Delay whole milliseconds pass. */
    if (Delay < 0xFFFFFFFFU) {
        Delay++;
    }

    while (Delay) {
        if ((SysTick->CTRL & SysTick_CTRL_COUNTFLAG_Msk) != 0U) {
            Delay--;
        }
    }
}

void LL_SetSystemCoreClock(uint32_t HCLKFrequency) { SystemCoreClock = HCLKFrequency; }
