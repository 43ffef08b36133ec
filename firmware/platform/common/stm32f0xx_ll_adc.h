/* ADC: configuration, regular sequence, calibration, conversion, flags.
 *
 * Configuration values are the CFGR1/CFGR2/SMPR bits they stand for, so an
 * init structure's fields go into the registers as they are.
 */
#ifndef STM32F0XX_LL_ADC_H
#define STM32F0XX_LL_ADC_H

#include "stm32f030x6.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint32_t Clock;         /* LL_ADC_CLOCK_x (CFGR2 CKMODE) */
    uint32_t Resolution;    /* LL_ADC_RESOLUTION_x (CFGR1 RES) */
    uint32_t DataAlignment; /* LL_ADC_DATA_ALIGN_x (CFGR1 ALIGN) */
    uint32_t LowPowerMode;  /* LL_ADC_LP_x (CFGR1 WAIT, AUTOFF) */
} LL_ADC_InitTypeDef;

typedef struct {
    uint32_t TriggerSource;    /* LL_ADC_REG_TRIG_x (CFGR1 EXTSEL, EXTEN) */
    uint32_t SequencerDiscont; /* LL_ADC_REG_SEQ_DISCONT_x (CFGR1 DISCEN) */
    uint32_t ContinuousMode;   /* LL_ADC_REG_CONV_x (CFGR1 CONT) */
    uint32_t DMATransfer;      /* LL_ADC_REG_DMA_TRANSFER_x (CFGR1 DMAEN, DMACFG) */
    uint32_t Overrun;          /* LL_ADC_REG_OVR_x (CFGR1 OVRMOD) */
} LL_ADC_REG_InitTypeDef;

/* Clock (CFGR2 CKMODE) */
#define LL_ADC_CLOCK_ASYNC          ((uint32_t)0x0U) /* HSI14 */
#define LL_ADC_CLOCK_SYNC_PCLK_DIV2 ADC_CFGR2_CKMODE_0
#define LL_ADC_CLOCK_SYNC_PCLK_DIV4 ADC_CFGR2_CKMODE_1

/* Resolution (CFGR1 RES) */
#define LL_ADC_RESOLUTION_12B ((uint32_t)0x0U)
#define LL_ADC_RESOLUTION_10B ADC_CFGR1_RES_0
#define LL_ADC_RESOLUTION_8B  ADC_CFGR1_RES_1
#define LL_ADC_RESOLUTION_6B  (ADC_CFGR1_RES_1 | ADC_CFGR1_RES_0)

/* Data alignment (CFGR1 ALIGN) */
#define LL_ADC_DATA_ALIGN_RIGHT ((uint32_t)0x0U)
#define LL_ADC_DATA_ALIGN_LEFT  ADC_CFGR1_ALIGN

/* Low power modes (CFGR1 WAIT, AUTOFF) */
#define LL_ADC_LP_MODE_NONE             ((uint32_t)0x0U)
#define LL_ADC_LP_AUTOWAIT              ADC_CFGR1_WAIT
#define LL_ADC_LP_AUTOPOWEROFF          ADC_CFGR1_AUTOFF
#define LL_ADC_LP_AUTOWAIT_AUTOPOWEROFF (ADC_CFGR1_WAIT | ADC_CFGR1_AUTOFF)

/* Regular trigger (CFGR1 EXTSEL with EXTEN): an external trigger carries
   the rising edge; LL_ADC_REG_SetTriggerEdge changes it afterwards. */
#define LL_ADC_REG_TRIG_SOFTWARE      ((uint32_t)0x0U)
#define LL_ADC_REG_TRIG_EXT_TIM1_TRGO ADC_CFGR1_EXTEN_0
#define LL_ADC_REG_TRIG_EXT_TIM1_CH4  (ADC_CFGR1_EXTSEL_0 | ADC_CFGR1_EXTEN_0)
#define LL_ADC_REG_TRIG_EXT_TIM3_TRGO (ADC_CFGR1_EXTSEL_0 | ADC_CFGR1_EXTSEL_1 | ADC_CFGR1_EXTEN_0)

/* Regular trigger edge (CFGR1 EXTEN) */
#define LL_ADC_REG_TRIG_EXT_RISING        ADC_CFGR1_EXTEN_0
#define LL_ADC_REG_TRIG_EXT_FALLING       ADC_CFGR1_EXTEN_1
#define LL_ADC_REG_TRIG_EXT_RISINGFALLING (ADC_CFGR1_EXTEN_1 | ADC_CFGR1_EXTEN_0)

/* Sequencer discontinuous mode (CFGR1 DISCEN) */
#define LL_ADC_REG_SEQ_DISCONT_DISABLE ((uint32_t)0x0U)
#define LL_ADC_REG_SEQ_DISCONT_1RANK   ADC_CFGR1_DISCEN

/* Continuous mode (CFGR1 CONT) */
#define LL_ADC_REG_CONV_SINGLE     ((uint32_t)0x0U)
#define LL_ADC_REG_CONV_CONTINUOUS ADC_CFGR1_CONT

/* DMA requests (CFGR1 DMAEN, DMACFG) */
#define LL_ADC_REG_DMA_TRANSFER_NONE      ((uint32_t)0x0U)
#define LL_ADC_REG_DMA_TRANSFER_LIMITED   ADC_CFGR1_DMAEN
#define LL_ADC_REG_DMA_TRANSFER_UNLIMITED (ADC_CFGR1_DMACFG | ADC_CFGR1_DMAEN)

/* Overrun (CFGR1 OVRMOD) */
#define LL_ADC_REG_OVR_DATA_PRESERVED   ((uint32_t)0x0U)
#define LL_ADC_REG_OVR_DATA_OVERWRITTEN ADC_CFGR1_OVRMOD

/* Sequencer scan direction (CFGR1 SCANDIR) */
#define LL_ADC_REG_SEQ_SCAN_DIR_FORWARD  ((uint32_t)0x0U)
#define LL_ADC_REG_SEQ_SCAN_DIR_BACKWARD ADC_CFGR1_SCANDIR

/* Sampling time, all channels (SMPR SMP), in ADC clock cycles */
#define LL_ADC_SAMPLINGTIME_1CYCLE_5    ((uint32_t)0x0U)
#define LL_ADC_SAMPLINGTIME_7CYCLES_5   ADC_SMPR_SMP_0
#define LL_ADC_SAMPLINGTIME_13CYCLES_5  ADC_SMPR_SMP_1
#define LL_ADC_SAMPLINGTIME_28CYCLES_5  (ADC_SMPR_SMP_1 | ADC_SMPR_SMP_0)
#define LL_ADC_SAMPLINGTIME_41CYCLES_5  ADC_SMPR_SMP_2
#define LL_ADC_SAMPLINGTIME_55CYCLES_5  (ADC_SMPR_SMP_2 | ADC_SMPR_SMP_0)
#define LL_ADC_SAMPLINGTIME_71CYCLES_5  (ADC_SMPR_SMP_2 | ADC_SMPR_SMP_1)
#define LL_ADC_SAMPLINGTIME_239CYCLES_5 (ADC_SMPR_SMP_2 | ADC_SMPR_SMP_1 | ADC_SMPR_SMP_0)

/* Channels: the channel number in bits 30:26 (the CFGR1 AWDCH layout) and
   the channel's CHSELR bit in the low bits. */
#define LL_ADC_CHANNEL_ID_NUMBER_POS    26U
#define LL_ADC_CHANNEL_ID_NUMBER_MASK   ((uint32_t)0x1FU << LL_ADC_CHANNEL_ID_NUMBER_POS)
#define LL_ADC_CHANNEL_ID_BITFIELD_MASK ADC_CHSELR_CHSEL
#define LL_ADC_CHANNEL(n)               ((((uint32_t)(n)) << LL_ADC_CHANNEL_ID_NUMBER_POS) | ((uint32_t)0x1U << (n)))
#define LL_ADC_CHANNEL_0                LL_ADC_CHANNEL(0U)
#define LL_ADC_CHANNEL_1                LL_ADC_CHANNEL(1U)
#define LL_ADC_CHANNEL_2                LL_ADC_CHANNEL(2U)
#define LL_ADC_CHANNEL_3                LL_ADC_CHANNEL(3U)
#define LL_ADC_CHANNEL_4                LL_ADC_CHANNEL(4U)
#define LL_ADC_CHANNEL_5                LL_ADC_CHANNEL(5U)
#define LL_ADC_CHANNEL_6                LL_ADC_CHANNEL(6U)
#define LL_ADC_CHANNEL_7                LL_ADC_CHANNEL(7U)
#define LL_ADC_CHANNEL_8                LL_ADC_CHANNEL(8U)
#define LL_ADC_CHANNEL_9                LL_ADC_CHANNEL(9U)
#define LL_ADC_CHANNEL_10               LL_ADC_CHANNEL(10U)
#define LL_ADC_CHANNEL_11               LL_ADC_CHANNEL(11U)
#define LL_ADC_CHANNEL_12               LL_ADC_CHANNEL(12U)
#define LL_ADC_CHANNEL_13               LL_ADC_CHANNEL(13U)
#define LL_ADC_CHANNEL_14               LL_ADC_CHANNEL(14U)
#define LL_ADC_CHANNEL_15               LL_ADC_CHANNEL(15U)
#define LL_ADC_CHANNEL_16               LL_ADC_CHANNEL(16U)
#define LL_ADC_CHANNEL_17               LL_ADC_CHANNEL(17U)
#define LL_ADC_CHANNEL_TEMPSENSOR       LL_ADC_CHANNEL_16
#define LL_ADC_CHANNEL_VREFINT          LL_ADC_CHANNEL_17

/* CR bits that software sets and hardware clears: writing 0 to them does
   nothing, writing 1 starts an action, so a CR update never writes one of
   them back as read. */
#define LL_ADC_CR_BITS_PROPERTY_RS (ADC_CR_ADCAL | ADC_CR_ADSTP | ADC_CR_ADSTART | ADC_CR_ADDIS | ADC_CR_ADEN)

/* Configuration */

static inline void LL_ADC_SetSamplingTimeCommonChannels(ADC_TypeDef *ADCx, uint32_t SamplingTime)
{
    MODIFY_REG(ADCx->SMPR, ADC_SMPR_SMP, SamplingTime);
}

static inline void LL_ADC_REG_SetTriggerEdge(ADC_TypeDef *ADCx, uint32_t ExternalTriggerEdge)
{
    MODIFY_REG(ADCx->CFGR1, ADC_CFGR1_EXTEN, ExternalTriggerEdge);
}

static inline void LL_ADC_REG_SetSequencerScanDirection(ADC_TypeDef *ADCx, uint32_t ScanDirection)
{
    MODIFY_REG(ADCx->CFGR1, ADC_CFGR1_SCANDIR, ScanDirection);
}

/* Adds one channel to the regular sequence (sequence order is the channel
   order, in the scan direction). */
static inline void LL_ADC_REG_SetSequencerChAdd(ADC_TypeDef *ADCx, uint32_t Channel)
{
    SET_BIT(ADCx->CHSELR, Channel & LL_ADC_CHANNEL_ID_BITFIELD_MASK);
}

/* Interrupts */

static inline void LL_ADC_EnableIT_EOC(ADC_TypeDef *ADCx) { SET_BIT(ADCx->IER, ADC_IER_EOCIE); }

static inline void LL_ADC_DisableIT_EOC(ADC_TypeDef *ADCx) { CLEAR_BIT(ADCx->IER, ADC_IER_EOCIE); }

static inline void LL_ADC_DisableIT_EOS(ADC_TypeDef *ADCx) { CLEAR_BIT(ADCx->IER, ADC_IER_EOSIE); }

/* Operation */

static inline void LL_ADC_StartCalibration(ADC_TypeDef *ADCx)
{
    MODIFY_REG(ADCx->CR, LL_ADC_CR_BITS_PROPERTY_RS, ADC_CR_ADCAL);
}

static inline uint32_t LL_ADC_IsCalibrationOnGoing(ADC_TypeDef *ADCx)
{
    return (READ_BIT(ADCx->CR, ADC_CR_ADCAL) == ADC_CR_ADCAL) ? 1U : 0U;
}

static inline void LL_ADC_Enable(ADC_TypeDef *ADCx) { MODIFY_REG(ADCx->CR, LL_ADC_CR_BITS_PROPERTY_RS, ADC_CR_ADEN); }

static inline uint32_t LL_ADC_IsEnabled(ADC_TypeDef *ADCx)
{
    return (READ_BIT(ADCx->CR, ADC_CR_ADEN) == ADC_CR_ADEN) ? 1U : 0U;
}

static inline void LL_ADC_REG_StartConversion(ADC_TypeDef *ADCx)
{
    MODIFY_REG(ADCx->CR, LL_ADC_CR_BITS_PROPERTY_RS, ADC_CR_ADSTART);
}

static inline uint32_t LL_ADC_REG_ReadConversionData32(ADC_TypeDef *ADCx)
{
    return (uint32_t)(uint16_t)(READ_BIT(ADCx->DR, ADC_DR_DATA) & 0xFFFFU);
}

/* Flags */

static inline uint32_t LL_ADC_IsActiveFlag_ADRDY(ADC_TypeDef *ADCx)
{
    return (READ_BIT(ADCx->ISR, ADC_ISR_ADRDY) == ADC_ISR_ADRDY) ? 1U : 0U;
}

static inline uint32_t LL_ADC_IsActiveFlag_EOC(ADC_TypeDef *ADCx)
{
    return (READ_BIT(ADCx->ISR, ADC_ISR_EOC) == ADC_ISR_EOC) ? 1U : 0U;
}

/* ISR flags clear by writing 1. */
static inline void LL_ADC_ClearFlag_EOC(ADC_TypeDef *ADCx) { WRITE_REG(ADCx->ISR, ADC_ISR_EOC); }

/* Clock, resolution, alignment and low power mode; only while the ADC is
   disabled (ADEN clear), else returns ERROR and changes nothing. */
ErrorStatus LL_ADC_Init(ADC_TypeDef *ADCx, const LL_ADC_InitTypeDef *ADC_InitStruct);

/* Trigger, discontinuous and continuous mode, DMA and overrun behaviour of
   the regular group; only while the ADC is disabled, else returns ERROR. */
ErrorStatus LL_ADC_REG_Init(ADC_TypeDef *ADCx, const LL_ADC_REG_InitTypeDef *ADC_REG_InitStruct);

#ifdef __cplusplus
}
#endif

#endif /* STM32F0XX_LL_ADC_H */
