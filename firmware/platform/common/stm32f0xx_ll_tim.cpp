/* Timer time base configuration. */
#include "stm32f0xx_ll_tim.h"

/* Timers that count down or center-aligned as well as up. */
static bool tim_has_counter_mode(const TIM_TypeDef *TIMx) { return (TIMx == TIM1) || (TIMx == TIM3); }

/* Timers with a repetition counter (RCR). */
static bool tim_has_repetition_counter(const TIM_TypeDef *TIMx)
{
    return (TIMx == TIM1) || (TIMx == TIM16) || (TIMx == TIM17);
}

ErrorStatus LL_TIM_Init(TIM_TypeDef *TIMx, const LL_TIM_InitTypeDef *TIM_InitStruct)
{
    uint32_t tmpcr1 = READ_REG(TIMx->CR1);

    if (tim_has_counter_mode(TIMx)) {
        MODIFY_REG(tmpcr1, TIM_CR1_DIR | TIM_CR1_CMS, TIM_InitStruct->CounterMode);
    }
    /* Every timer of this part has the clock division field. */
    MODIFY_REG(tmpcr1, TIM_CR1_CKD, TIM_InitStruct->ClockDivision);
    WRITE_REG(TIMx->CR1, tmpcr1);

    WRITE_REG(TIMx->ARR, TIM_InitStruct->Autoreload);
    WRITE_REG(TIMx->PSC, (uint32_t)TIM_InitStruct->Prescaler);

    if (tim_has_repetition_counter(TIMx)) {
        WRITE_REG(TIMx->RCR, (uint32_t)TIM_InitStruct->RepetitionCounter);
    }

    /* The prescaler is buffered: load it (and reset the counter) now. */
    WRITE_REG(TIMx->EGR, TIM_EGR_UG);

    return SUCCESS;
}
