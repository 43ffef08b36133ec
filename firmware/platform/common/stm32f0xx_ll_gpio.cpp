/* GPIO pin configuration. */
#include "stm32f0xx_ll_gpio.h"

ErrorStatus LL_GPIO_Init(GPIO_TypeDef *GPIOx, const LL_GPIO_InitTypeDef *GPIO_InitStruct)
{
    const uint32_t pins = GPIO_InitStruct->Pin & LL_GPIO_PIN_ALL;
    const uint32_t mode = GPIO_InitStruct->Mode;

    for (uint32_t pinpos = 0U; (pins >> pinpos) != 0U; pinpos++) {
        const uint32_t currentpin = pins & ((uint32_t)1U << pinpos);
        if (currentpin == 0U) {
            continue;
        }

        if ((mode == LL_GPIO_MODE_OUTPUT) || (mode == LL_GPIO_MODE_ALTERNATE)) {
            LL_GPIO_SetPinSpeed(GPIOx, currentpin, GPIO_InitStruct->Speed);
            LL_GPIO_SetPinOutputType(GPIOx, currentpin, GPIO_InitStruct->OutputType);
        }

        LL_GPIO_SetPinPull(GPIOx, currentpin, GPIO_InitStruct->Pull);

        if (mode == LL_GPIO_MODE_ALTERNATE) {
            if (currentpin < LL_GPIO_PIN_8) {
                LL_GPIO_SetAFPin_0_7(GPIOx, currentpin, GPIO_InitStruct->Alternate);
            } else {
                LL_GPIO_SetAFPin_8_15(GPIOx, currentpin, GPIO_InitStruct->Alternate);
            }
        }

        LL_GPIO_SetPinMode(GPIOx, currentpin, mode);
    }

    return SUCCESS;
}
