/* Timers: time base, clock source, master output and counter control. */
#ifndef STM32F0XX_LL_TIM_H
#define STM32F0XX_LL_TIM_H

#include "stm32f030x6.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint16_t Prescaler;         /* counter clock = timer clock / (Prescaler + 1) */
    uint32_t CounterMode;       /* LL_TIM_COUNTERMODE_x (CR1 DIR, CMS) */
    uint32_t Autoreload;        /* period - 1 */
    uint32_t ClockDivision;     /* LL_TIM_CLOCKDIVISION_x (CR1 CKD) */
    uint8_t  RepetitionCounter; /* TIM1/16/17 only */
} LL_TIM_InitTypeDef;

/* Values are the register bits they stand for. */
#define LL_TIM_COUNTERMODE_UP             ((uint32_t)0x0U)
#define LL_TIM_COUNTERMODE_DOWN           TIM_CR1_DIR
#define LL_TIM_COUNTERMODE_CENTER_DOWN    TIM_CR1_CMS_0
#define LL_TIM_COUNTERMODE_CENTER_UP      TIM_CR1_CMS_1
#define LL_TIM_COUNTERMODE_CENTER_UP_DOWN TIM_CR1_CMS

#define LL_TIM_CLOCKDIVISION_DIV1 ((uint32_t)0x0U)
#define LL_TIM_CLOCKDIVISION_DIV2 TIM_CR1_CKD_0
#define LL_TIM_CLOCKDIVISION_DIV4 TIM_CR1_CKD_1

/* Counter clock source (SMCR SMS, ECE) */
#define LL_TIM_CLOCKSOURCE_INTERNAL  ((uint32_t)0x0U)
#define LL_TIM_CLOCKSOURCE_EXT_MODE1 (TIM_SMCR_SMS_2 | TIM_SMCR_SMS_1 | TIM_SMCR_SMS_0)
#define LL_TIM_CLOCKSOURCE_EXT_MODE2 TIM_SMCR_ECE

/* Trigger output to other timers and the ADC (CR2 MMS) */
#define LL_TIM_TRGO_RESET  ((uint32_t)0x0U)
#define LL_TIM_TRGO_ENABLE TIM_CR2_MMS_0
#define LL_TIM_TRGO_UPDATE TIM_CR2_MMS_1
#define LL_TIM_TRGO_CC1IF  (TIM_CR2_MMS_1 | TIM_CR2_MMS_0)
#define LL_TIM_TRGO_OC1REF TIM_CR2_MMS_2
#define LL_TIM_TRGO_OC2REF (TIM_CR2_MMS_2 | TIM_CR2_MMS_0)
#define LL_TIM_TRGO_OC3REF (TIM_CR2_MMS_2 | TIM_CR2_MMS_1)
#define LL_TIM_TRGO_OC4REF (TIM_CR2_MMS_2 | TIM_CR2_MMS_1 | TIM_CR2_MMS_0)

static inline void LL_TIM_EnableCounter(TIM_TypeDef *TIMx) { SET_BIT(TIMx->CR1, TIM_CR1_CEN); }

/* ARR writes take effect at once instead of at the next update. */
static inline void LL_TIM_DisableARRPreload(TIM_TypeDef *TIMx) { CLEAR_BIT(TIMx->CR1, TIM_CR1_ARPE); }

static inline void LL_TIM_SetClockSource(TIM_TypeDef *TIMx, uint32_t ClockSource)
{
    MODIFY_REG(TIMx->SMCR, TIM_SMCR_SMS | TIM_SMCR_ECE, ClockSource);
}

static inline void LL_TIM_SetTriggerOutput(TIM_TypeDef *TIMx, uint32_t TimerSynchronization)
{
    MODIFY_REG(TIMx->CR2, TIM_CR2_MMS, TimerSynchronization);
}

static inline void LL_TIM_DisableMasterSlaveMode(TIM_TypeDef *TIMx) { CLEAR_BIT(TIMx->SMCR, TIM_SMCR_MSM); }

/* Counter mode, clock division, auto-reload, prescaler and (TIM1/16/17)
   repetition counter, then an update event so the prescaler is loaded. */
ErrorStatus LL_TIM_Init(TIM_TypeDef *TIMx, const LL_TIM_InitTypeDef *TIM_InitStruct);

#ifdef __cplusplus
}
#endif

#endif /* STM32F0XX_LL_TIM_H */
