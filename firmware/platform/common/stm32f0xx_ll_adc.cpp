/* ADC configuration. */
#include "stm32f0xx_ll_adc.h"

ErrorStatus LL_ADC_Init(ADC_TypeDef *ADCx, const LL_ADC_InitTypeDef *ADC_InitStruct)
{
    if (LL_ADC_IsEnabled(ADCx) != 0U) {
        return ERROR;
    }

    MODIFY_REG(ADCx->CFGR1, ADC_CFGR1_RES | ADC_CFGR1_ALIGN | ADC_CFGR1_WAIT | ADC_CFGR1_AUTOFF,
               ADC_InitStruct->Resolution | ADC_InitStruct->DataAlignment | ADC_InitStruct->LowPowerMode);

    MODIFY_REG(ADCx->CFGR2, ADC_CFGR2_CKMODE, ADC_InitStruct->Clock);

    return SUCCESS;
}

ErrorStatus LL_ADC_REG_Init(ADC_TypeDef *ADCx, const LL_ADC_REG_InitTypeDef *ADC_REG_InitStruct)
{
    if (LL_ADC_IsEnabled(ADCx) != 0U) {
        return ERROR;
    }

    MODIFY_REG(ADCx->CFGR1,
               ADC_CFGR1_EXTSEL | ADC_CFGR1_EXTEN | ADC_CFGR1_DISCEN | ADC_CFGR1_CONT | ADC_CFGR1_DMAEN |
                   ADC_CFGR1_DMACFG | ADC_CFGR1_OVRMOD,
               ADC_REG_InitStruct->TriggerSource | ADC_REG_InitStruct->SequencerDiscont |
                   ADC_REG_InitStruct->ContinuousMode | ADC_REG_InitStruct->DMATransfer | ADC_REG_InitStruct->Overrun);

    return SUCCESS;
}
