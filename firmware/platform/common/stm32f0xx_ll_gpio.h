/* General-purpose I/O: pin configuration and pin level access.
 *
 * Pins are given as masks (LL_GPIO_PIN_n). The per-pin setters take exactly
 * one pin; LL_GPIO_SetPinOutputType and the level functions take any mask.
 * Mode, speed, output type, pull and alternate function are the plain field
 * values of the register (e.g. LL_GPIO_MODE_OUTPUT is 1), shifted into place
 * by the setters.
 */
#ifndef STM32F0XX_LL_GPIO_H
#define STM32F0XX_LL_GPIO_H

#include "stm32f030x6.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint32_t Pin;        /* LL_GPIO_PIN_x, any combination */
    uint32_t Mode;       /* LL_GPIO_MODE_x */
    uint32_t Speed;      /* LL_GPIO_SPEED_FREQ_x (output / alternate only) */
    uint32_t OutputType; /* LL_GPIO_OUTPUT_x (output / alternate only) */
    uint32_t Pull;       /* LL_GPIO_PULL_x */
    uint32_t Alternate;  /* LL_GPIO_AF_x (alternate only) */
} LL_GPIO_InitTypeDef;

#define LL_GPIO_PIN_0   ((uint32_t)0x0001U)
#define LL_GPIO_PIN_1   ((uint32_t)0x0002U)
#define LL_GPIO_PIN_2   ((uint32_t)0x0004U)
#define LL_GPIO_PIN_3   ((uint32_t)0x0008U)
#define LL_GPIO_PIN_4   ((uint32_t)0x0010U)
#define LL_GPIO_PIN_5   ((uint32_t)0x0020U)
#define LL_GPIO_PIN_6   ((uint32_t)0x0040U)
#define LL_GPIO_PIN_7   ((uint32_t)0x0080U)
#define LL_GPIO_PIN_8   ((uint32_t)0x0100U)
#define LL_GPIO_PIN_9   ((uint32_t)0x0200U)
#define LL_GPIO_PIN_10  ((uint32_t)0x0400U)
#define LL_GPIO_PIN_11  ((uint32_t)0x0800U)
#define LL_GPIO_PIN_12  ((uint32_t)0x1000U)
#define LL_GPIO_PIN_13  ((uint32_t)0x2000U)
#define LL_GPIO_PIN_14  ((uint32_t)0x4000U)
#define LL_GPIO_PIN_15  ((uint32_t)0x8000U)
#define LL_GPIO_PIN_ALL ((uint32_t)0xFFFFU)

/* MODER field */
#define LL_GPIO_MODE_INPUT     ((uint32_t)0x0U)
#define LL_GPIO_MODE_OUTPUT    ((uint32_t)0x1U)
#define LL_GPIO_MODE_ALTERNATE ((uint32_t)0x2U)
#define LL_GPIO_MODE_ANALOG    ((uint32_t)0x3U)

/* OTYPER bit */
#define LL_GPIO_OUTPUT_PUSHPULL  ((uint32_t)0x0U)
#define LL_GPIO_OUTPUT_OPENDRAIN ((uint32_t)0x1U)

/* OSPEEDR field */
#define LL_GPIO_SPEED_FREQ_LOW    ((uint32_t)0x0U)
#define LL_GPIO_SPEED_FREQ_MEDIUM ((uint32_t)0x1U)
#define LL_GPIO_SPEED_FREQ_HIGH   ((uint32_t)0x3U)

/* PUPDR field */
#define LL_GPIO_PULL_NO   ((uint32_t)0x0U)
#define LL_GPIO_PULL_UP   ((uint32_t)0x1U)
#define LL_GPIO_PULL_DOWN ((uint32_t)0x2U)

/* AFRL / AFRH field */
#define LL_GPIO_AF_0 ((uint32_t)0x0U)
#define LL_GPIO_AF_1 ((uint32_t)0x1U)
#define LL_GPIO_AF_2 ((uint32_t)0x2U)
#define LL_GPIO_AF_3 ((uint32_t)0x3U)
#define LL_GPIO_AF_4 ((uint32_t)0x4U)
#define LL_GPIO_AF_5 ((uint32_t)0x5U)
#define LL_GPIO_AF_6 ((uint32_t)0x6U)
#define LL_GPIO_AF_7 ((uint32_t)0x7U)

/* For a one-pin mask 1 << n: 1 << 2n, the unit of that pin's 2-bit field. */
static inline uint32_t LL_GPIO_Field2(uint32_t Pin) { return Pin * Pin; }

/* For a one-pin mask 1 << n (n < 8): 1 << 4n, the unit of its 4-bit field. */
static inline uint32_t LL_GPIO_Field4(uint32_t Pin) { return Pin * Pin * Pin * Pin; }

static inline void LL_GPIO_SetPinMode(GPIO_TypeDef *GPIOx, uint32_t Pin, uint32_t Mode)
{
    const uint32_t unit = LL_GPIO_Field2(Pin);
    MODIFY_REG(GPIOx->MODER, unit * 0x3U, unit * Mode);
}

static inline void LL_GPIO_SetPinOutputType(GPIO_TypeDef *GPIOx, uint32_t PinMask, uint32_t OutputType)
{
    MODIFY_REG(GPIOx->OTYPER, PinMask, PinMask * OutputType);
}

static inline void LL_GPIO_SetPinSpeed(GPIO_TypeDef *GPIOx, uint32_t Pin, uint32_t Speed)
{
    const uint32_t unit = LL_GPIO_Field2(Pin);
    MODIFY_REG(GPIOx->OSPEEDR, unit * 0x3U, unit * Speed);
}

static inline void LL_GPIO_SetPinPull(GPIO_TypeDef *GPIOx, uint32_t Pin, uint32_t Pull)
{
    const uint32_t unit = LL_GPIO_Field2(Pin);
    MODIFY_REG(GPIOx->PUPDR, unit * 0x3U, unit * Pull);
}

/* Pin: one of LL_GPIO_PIN_0..7. */
static inline void LL_GPIO_SetAFPin_0_7(GPIO_TypeDef *GPIOx, uint32_t Pin, uint32_t Alternate)
{
    const uint32_t unit = LL_GPIO_Field4(Pin);
    MODIFY_REG(GPIOx->AFR[0], unit * 0xFU, unit * Alternate);
}

/* Pin: one of LL_GPIO_PIN_8..15. */
static inline void LL_GPIO_SetAFPin_8_15(GPIO_TypeDef *GPIOx, uint32_t Pin, uint32_t Alternate)
{
    const uint32_t unit = LL_GPIO_Field4(Pin >> 8);
    MODIFY_REG(GPIOx->AFR[1], unit * 0xFU, unit * Alternate);
}

static inline uint32_t LL_GPIO_IsInputPinSet(GPIO_TypeDef *GPIOx, uint32_t PinMask)
{
    return (READ_BIT(GPIOx->IDR, PinMask) == PinMask) ? 1U : 0U;
}

static inline void LL_GPIO_SetOutputPin(GPIO_TypeDef *GPIOx, uint32_t PinMask) { WRITE_REG(GPIOx->BSRR, PinMask); }

static inline void LL_GPIO_ResetOutputPin(GPIO_TypeDef *GPIOx, uint32_t PinMask) { WRITE_REG(GPIOx->BRR, PinMask); }

/* Configures every pin in GPIO_InitStruct->Pin; the mode is written last so
   a pin only starts driving once speed, type, pull and function are set. */
ErrorStatus LL_GPIO_Init(GPIO_TypeDef *GPIOx, const LL_GPIO_InitTypeDef *GPIO_InitStruct);

#ifdef __cplusplus
}
#endif

#endif /* STM32F0XX_LL_GPIO_H */
