/* STM32F030x4/x6 device header: interrupt numbers, register blocks, bit
 * definitions and the base addresses of the peripherals this board uses.
 *
 * Registers are reg32_t cells (see platform_regs.h): on the chip plain
 * volatile words, on the host proxies served by the virtual board. Only
 * read a cell, assign it, or apply |=, &=, ^= to it; never take its address.
 */
#ifndef STM32F030X6_H
#define STM32F030X6_H

#include <stddef.h>
#include <stdint.h>

#include "platform_regs.h"

/* ------------------------------------------------------------------------ */
/* Interrupt numbers                                                        */
/* ------------------------------------------------------------------------ */

typedef enum {
    /* Cortex-M0 exceptions */
    NonMaskableInt_IRQn = -14,
    HardFault_IRQn      = -13,
    SVC_IRQn            = -5,
    PendSV_IRQn         = -2,
    SysTick_IRQn        = -1,
    /* STM32F030x4/x6 interrupts */
    WWDG_IRQn                = 0,
    RTC_IRQn                 = 2,
    FLASH_IRQn               = 3,
    RCC_IRQn                 = 4,
    EXTI0_1_IRQn             = 5,
    EXTI2_3_IRQn             = 6,
    EXTI4_15_IRQn            = 7,
    DMA1_Channel1_IRQn       = 9,
    DMA1_Channel2_3_IRQn     = 10,
    DMA1_Channel4_5_IRQn     = 11,
    ADC1_IRQn                = 12,
    TIM1_BRK_UP_TRG_COM_IRQn = 13,
    TIM1_CC_IRQn             = 14,
    TIM3_IRQn                = 16,
    TIM14_IRQn               = 19,
    TIM16_IRQn               = 21,
    TIM17_IRQn               = 22,
    I2C1_IRQn                = 23,
    SPI1_IRQn                = 25,
    USART1_IRQn              = 27
} IRQn_Type;

/* Core configuration */
#define __CM0_REV              0U
#define __MPU_PRESENT          0U
#define __NVIC_PRIO_BITS       2U
#define __Vendor_SysTickConfig 0U

#include "core_cm0.h"

/* ------------------------------------------------------------------------ */
/* Common status type and register access helpers                           */
/* ------------------------------------------------------------------------ */

typedef enum { SUCCESS = 0, ERROR = !SUCCESS } ErrorStatus;

#define SET_BIT(REG, BIT)                   ((REG) |= (BIT))
#define CLEAR_BIT(REG, BIT)                 ((REG) &= ~(BIT))
#define READ_BIT(REG, BIT)                  ((REG) & (BIT))
#define CLEAR_REG(REG)                      ((REG) = (uint32_t)0x0U)
#define WRITE_REG(REG, VAL)                 ((REG) = (VAL))
#define READ_REG(REG)                       ((uint32_t)(REG))
#define MODIFY_REG(REG, CLEARMASK, SETMASK) WRITE_REG((REG), ((READ_REG(REG) & (~(CLEARMASK))) | (SETMASK)))

/* ------------------------------------------------------------------------ */
/* Register blocks                                                          */
/* ------------------------------------------------------------------------ */

typedef struct {
    reg32_t  ISR;          /* 0x00 interrupt and status */
    reg32_t  IER;          /* 0x04 interrupt enable */
    reg32_t  CR;           /* 0x08 control */
    reg32_t  CFGR1;        /* 0x0C configuration 1 */
    reg32_t  CFGR2;        /* 0x10 configuration 2 */
    reg32_t  SMPR;         /* 0x14 sampling time */
    uint32_t RESERVED1;    /* 0x18 */
    uint32_t RESERVED2;    /* 0x1C */
    reg32_t  TR;           /* 0x20 analog watchdog thresholds */
    uint32_t RESERVED3;    /* 0x24 */
    reg32_t  CHSELR;       /* 0x28 channel selection */
    uint32_t RESERVED4[5]; /* 0x2C - 0x3C */
    reg32_t  DR;           /* 0x40 data */
} ADC_TypeDef;

typedef struct {
    reg32_t CCR; /* 0x308 from ADC1: common configuration */
} ADC_Common_TypeDef;

typedef struct {
    reg32_t  ACR;      /* 0x00 access control */
    reg32_t  KEYR;     /* 0x04 key */
    reg32_t  OPTKEYR;  /* 0x08 option byte key */
    reg32_t  SR;       /* 0x0C status */
    reg32_t  CR;       /* 0x10 control */
    reg32_t  AR;       /* 0x14 address */
    uint32_t RESERVED; /* 0x18 */
    reg32_t  OBR;      /* 0x1C option byte */
    reg32_t  WRPR;     /* 0x20 write protection */
} FLASH_TypeDef;

typedef struct {
    reg32_t MODER;   /* 0x00 mode */
    reg32_t OTYPER;  /* 0x04 output type */
    reg32_t OSPEEDR; /* 0x08 output speed */
    reg32_t PUPDR;   /* 0x0C pull-up / pull-down */
    reg32_t IDR;     /* 0x10 input data */
    reg32_t ODR;     /* 0x14 output data */
    reg32_t BSRR;    /* 0x18 bit set / reset */
    reg32_t LCKR;    /* 0x1C configuration lock */
    reg32_t AFR[2];  /* 0x20 alternate function low, 0x24 high */
    reg32_t BRR;     /* 0x28 bit reset */
} GPIO_TypeDef;

typedef struct {
    reg32_t CR;       /* 0x00 clock control */
    reg32_t CFGR;     /* 0x04 clock configuration */
    reg32_t CIR;      /* 0x08 clock interrupt */
    reg32_t APB2RSTR; /* 0x0C APB2 peripheral reset */
    reg32_t APB1RSTR; /* 0x10 APB1 peripheral reset */
    reg32_t AHBENR;   /* 0x14 AHB peripheral clock enable */
    reg32_t APB2ENR;  /* 0x18 APB2 peripheral clock enable */
    reg32_t APB1ENR;  /* 0x1C APB1 peripheral clock enable */
    reg32_t BDCR;     /* 0x20 RTC domain control */
    reg32_t CSR;      /* 0x24 control / status */
    reg32_t AHBRSTR;  /* 0x28 AHB peripheral reset */
    reg32_t CFGR2;    /* 0x2C clock configuration 2 */
    reg32_t CFGR3;    /* 0x30 clock configuration 3 */
    reg32_t CR2;      /* 0x34 clock control 2 (HSI14) */
} RCC_TypeDef;

typedef struct {
    reg32_t CR1;   /* 0x00 control 1 */
    reg32_t CR2;   /* 0x04 control 2 */
    reg32_t SMCR;  /* 0x08 slave mode control */
    reg32_t DIER;  /* 0x0C DMA / interrupt enable */
    reg32_t SR;    /* 0x10 status */
    reg32_t EGR;   /* 0x14 event generation */
    reg32_t CCMR1; /* 0x18 capture/compare mode 1 */
    reg32_t CCMR2; /* 0x1C capture/compare mode 2 */
    reg32_t CCER;  /* 0x20 capture/compare enable */
    reg32_t CNT;   /* 0x24 counter */
    reg32_t PSC;   /* 0x28 prescaler */
    reg32_t ARR;   /* 0x2C auto-reload */
    reg32_t RCR;   /* 0x30 repetition counter (TIM1/16/17) */
    reg32_t CCR1;  /* 0x34 capture/compare 1 */
    reg32_t CCR2;  /* 0x38 capture/compare 2 */
    reg32_t CCR3;  /* 0x3C capture/compare 3 */
    reg32_t CCR4;  /* 0x40 capture/compare 4 */
    reg32_t BDTR;  /* 0x44 break and dead-time (TIM1/16/17) */
    reg32_t DCR;   /* 0x48 DMA control */
    reg32_t DMAR;  /* 0x4C DMA address for full transfer */
    reg32_t OR;    /* 0x50 option (TIM14) */
} TIM_TypeDef;

typedef struct {
    reg32_t CR1;  /* 0x00 control 1 */
    reg32_t CR2;  /* 0x04 control 2 */
    reg32_t CR3;  /* 0x08 control 3 */
    reg32_t BRR;  /* 0x0C baud rate */
    reg32_t GTPR; /* 0x10 guard time and prescaler */
    reg32_t RTOR; /* 0x14 receiver timeout */
    reg32_t RQR;  /* 0x18 request */
    reg32_t ISR;  /* 0x1C interrupt and status */
    reg32_t ICR;  /* 0x20 interrupt flag clear */
    reg32_t RDR;  /* 0x24 receive data */
    reg32_t TDR;  /* 0x28 transmit data */
} USART_TypeDef;

static_assert(offsetof(ADC_TypeDef, TR) == 0x20U, "ADC TR offset");
static_assert(offsetof(ADC_TypeDef, CHSELR) == 0x28U, "ADC CHSELR offset");
static_assert(offsetof(ADC_TypeDef, DR) == 0x40U, "ADC DR offset");
static_assert(offsetof(FLASH_TypeDef, OBR) == 0x1CU, "FLASH OBR offset");
static_assert(offsetof(FLASH_TypeDef, WRPR) == 0x20U, "FLASH WRPR offset");
static_assert(offsetof(GPIO_TypeDef, AFR) == 0x20U, "GPIO AFR offset");
static_assert(offsetof(GPIO_TypeDef, BRR) == 0x28U, "GPIO BRR offset");
static_assert(offsetof(RCC_TypeDef, AHBENR) == 0x14U, "RCC AHBENR offset");
static_assert(offsetof(RCC_TypeDef, CSR) == 0x24U, "RCC CSR offset");
static_assert(offsetof(RCC_TypeDef, CFGR3) == 0x30U, "RCC CFGR3 offset");
static_assert(offsetof(RCC_TypeDef, CR2) == 0x34U, "RCC CR2 offset");
static_assert(offsetof(TIM_TypeDef, PSC) == 0x28U, "TIM PSC offset");
static_assert(offsetof(TIM_TypeDef, ARR) == 0x2CU, "TIM ARR offset");
static_assert(offsetof(TIM_TypeDef, DMAR) == 0x4CU, "TIM DMAR offset");
static_assert(offsetof(TIM_TypeDef, OR) == 0x50U, "TIM OR offset");
static_assert(offsetof(USART_TypeDef, ISR) == 0x1CU, "USART ISR offset");
static_assert(offsetof(USART_TypeDef, RDR) == 0x24U, "USART RDR offset");
static_assert(offsetof(USART_TypeDef, TDR) == 0x28U, "USART TDR offset");

/* ------------------------------------------------------------------------ */
/* Memory map                                                               */
/* ------------------------------------------------------------------------ */

#define FLASH_BASE  ((uint32_t)0x08000000U) /* main flash */
#define SRAM_BASE   ((uint32_t)0x20000000U)
#define PERIPH_BASE ((uint32_t)0x40000000U)

#define APBPERIPH_BASE  PERIPH_BASE
#define AHBPERIPH_BASE  (PERIPH_BASE + 0x00020000U)
#define AHB2PERIPH_BASE (PERIPH_BASE + 0x08000000U)

#define TIM3_BASE   (APBPERIPH_BASE + 0x00000400U)
#define TIM14_BASE  (APBPERIPH_BASE + 0x00002000U)
#define ADC1_BASE   (APBPERIPH_BASE + 0x00012400U)
#define ADC_BASE    (APBPERIPH_BASE + 0x00012708U)
#define TIM1_BASE   (APBPERIPH_BASE + 0x00012C00U)
#define USART1_BASE (APBPERIPH_BASE + 0x00013800U)
#define TIM16_BASE  (APBPERIPH_BASE + 0x00014400U)
#define TIM17_BASE  (APBPERIPH_BASE + 0x00014800U)

#define RCC_BASE     (AHBPERIPH_BASE + 0x00001000U)
#define FLASH_R_BASE (AHBPERIPH_BASE + 0x00002000U) /* flash interface registers */

#define GPIOA_BASE (AHB2PERIPH_BASE + 0x00000000U)
#define GPIOB_BASE (AHB2PERIPH_BASE + 0x00000400U)
#define GPIOC_BASE (AHB2PERIPH_BASE + 0x00000800U)
#define GPIOD_BASE (AHB2PERIPH_BASE + 0x00000C00U)
#define GPIOF_BASE (AHB2PERIPH_BASE + 0x00001400U)

static_assert(ADC_BASE == 0x40012708U && RCC_BASE == 0x40021000U && FLASH_R_BASE == 0x40022000U,
              "peripheral base addresses");
static_assert(USART1_BASE == 0x40013800U && TIM3_BASE == 0x40000400U && GPIOF_BASE == 0x48001400U,
              "peripheral base addresses");

/* ------------------------------------------------------------------------ */
/* Peripheral declarations                                                  */
/* ------------------------------------------------------------------------ */

#define TIM3        PERIPH_PTR(TIM_TypeDef, TIM3_BASE)
#define TIM14       PERIPH_PTR(TIM_TypeDef, TIM14_BASE)
#define TIM1        PERIPH_PTR(TIM_TypeDef, TIM1_BASE)
#define TIM16       PERIPH_PTR(TIM_TypeDef, TIM16_BASE)
#define TIM17       PERIPH_PTR(TIM_TypeDef, TIM17_BASE)
#define ADC1        PERIPH_PTR(ADC_TypeDef, ADC1_BASE)
#define ADC1_COMMON PERIPH_PTR(ADC_Common_TypeDef, ADC_BASE)
#define ADC         ADC1_COMMON
#define USART1      PERIPH_PTR(USART_TypeDef, USART1_BASE)
#define RCC         PERIPH_PTR(RCC_TypeDef, RCC_BASE)
#define FLASH       PERIPH_PTR(FLASH_TypeDef, FLASH_R_BASE)
#define GPIOA       PERIPH_PTR(GPIO_TypeDef, GPIOA_BASE)
#define GPIOB       PERIPH_PTR(GPIO_TypeDef, GPIOB_BASE)
#define GPIOC       PERIPH_PTR(GPIO_TypeDef, GPIOC_BASE)
#define GPIOD       PERIPH_PTR(GPIO_TypeDef, GPIOD_BASE)
#define GPIOF       PERIPH_PTR(GPIO_TypeDef, GPIOF_BASE)

/* ------------------------------------------------------------------------ */
/* Bit definitions                                                          */
/* ------------------------------------------------------------------------ */

/* RCC_CR */
#define RCC_CR_HSION_Pos   0U
#define RCC_CR_HSION_Msk   ((uint32_t)0x1U << RCC_CR_HSION_Pos)
#define RCC_CR_HSION       RCC_CR_HSION_Msk
#define RCC_CR_HSIRDY_Pos  1U
#define RCC_CR_HSIRDY_Msk  ((uint32_t)0x1U << RCC_CR_HSIRDY_Pos)
#define RCC_CR_HSIRDY      RCC_CR_HSIRDY_Msk
#define RCC_CR_HSITRIM_Pos 3U
#define RCC_CR_HSITRIM_Msk ((uint32_t)0x1FU << RCC_CR_HSITRIM_Pos)
#define RCC_CR_HSITRIM     RCC_CR_HSITRIM_Msk
#define RCC_CR_HSICAL_Pos  8U
#define RCC_CR_HSICAL_Msk  ((uint32_t)0xFFU << RCC_CR_HSICAL_Pos)
#define RCC_CR_HSICAL      RCC_CR_HSICAL_Msk
#define RCC_CR_HSEON_Pos   16U
#define RCC_CR_HSEON_Msk   ((uint32_t)0x1U << RCC_CR_HSEON_Pos)
#define RCC_CR_HSEON       RCC_CR_HSEON_Msk
#define RCC_CR_HSERDY_Pos  17U
#define RCC_CR_HSERDY_Msk  ((uint32_t)0x1U << RCC_CR_HSERDY_Pos)
#define RCC_CR_HSERDY      RCC_CR_HSERDY_Msk
#define RCC_CR_HSEBYP_Pos  18U
#define RCC_CR_HSEBYP_Msk  ((uint32_t)0x1U << RCC_CR_HSEBYP_Pos)
#define RCC_CR_HSEBYP      RCC_CR_HSEBYP_Msk
#define RCC_CR_CSSON_Pos   19U
#define RCC_CR_CSSON_Msk   ((uint32_t)0x1U << RCC_CR_CSSON_Pos)
#define RCC_CR_CSSON       RCC_CR_CSSON_Msk
#define RCC_CR_PLLON_Pos   24U
#define RCC_CR_PLLON_Msk   ((uint32_t)0x1U << RCC_CR_PLLON_Pos)
#define RCC_CR_PLLON       RCC_CR_PLLON_Msk
#define RCC_CR_PLLRDY_Pos  25U
#define RCC_CR_PLLRDY_Msk  ((uint32_t)0x1U << RCC_CR_PLLRDY_Pos)
#define RCC_CR_PLLRDY      RCC_CR_PLLRDY_Msk

/* RCC_CFGR */
#define RCC_CFGR_SW_Pos       0U
#define RCC_CFGR_SW_Msk       ((uint32_t)0x3U << RCC_CFGR_SW_Pos)
#define RCC_CFGR_SW           RCC_CFGR_SW_Msk
#define RCC_CFGR_SW_0         ((uint32_t)0x1U << RCC_CFGR_SW_Pos)
#define RCC_CFGR_SW_1         ((uint32_t)0x2U << RCC_CFGR_SW_Pos)
#define RCC_CFGR_SWS_Pos      2U
#define RCC_CFGR_SWS_Msk      ((uint32_t)0x3U << RCC_CFGR_SWS_Pos)
#define RCC_CFGR_SWS          RCC_CFGR_SWS_Msk
#define RCC_CFGR_SWS_0        ((uint32_t)0x1U << RCC_CFGR_SWS_Pos)
#define RCC_CFGR_SWS_1        ((uint32_t)0x2U << RCC_CFGR_SWS_Pos)
#define RCC_CFGR_HPRE_Pos     4U
#define RCC_CFGR_HPRE_Msk     ((uint32_t)0xFU << RCC_CFGR_HPRE_Pos)
#define RCC_CFGR_HPRE         RCC_CFGR_HPRE_Msk
#define RCC_CFGR_HPRE_0       ((uint32_t)0x1U << RCC_CFGR_HPRE_Pos)
#define RCC_CFGR_HPRE_1       ((uint32_t)0x2U << RCC_CFGR_HPRE_Pos)
#define RCC_CFGR_HPRE_2       ((uint32_t)0x4U << RCC_CFGR_HPRE_Pos)
#define RCC_CFGR_HPRE_3       ((uint32_t)0x8U << RCC_CFGR_HPRE_Pos)
#define RCC_CFGR_PPRE_Pos     8U
#define RCC_CFGR_PPRE_Msk     ((uint32_t)0x7U << RCC_CFGR_PPRE_Pos)
#define RCC_CFGR_PPRE         RCC_CFGR_PPRE_Msk
#define RCC_CFGR_PPRE_0       ((uint32_t)0x1U << RCC_CFGR_PPRE_Pos)
#define RCC_CFGR_PPRE_1       ((uint32_t)0x2U << RCC_CFGR_PPRE_Pos)
#define RCC_CFGR_PPRE_2       ((uint32_t)0x4U << RCC_CFGR_PPRE_Pos)
#define RCC_CFGR_PLLSRC_Pos   16U
#define RCC_CFGR_PLLSRC_Msk   ((uint32_t)0x1U << RCC_CFGR_PLLSRC_Pos)
#define RCC_CFGR_PLLSRC       RCC_CFGR_PLLSRC_Msk
#define RCC_CFGR_PLLXTPRE_Pos 17U
#define RCC_CFGR_PLLXTPRE_Msk ((uint32_t)0x1U << RCC_CFGR_PLLXTPRE_Pos)
#define RCC_CFGR_PLLXTPRE     RCC_CFGR_PLLXTPRE_Msk
#define RCC_CFGR_PLLMUL_Pos   18U
#define RCC_CFGR_PLLMUL_Msk   ((uint32_t)0xFU << RCC_CFGR_PLLMUL_Pos)
#define RCC_CFGR_PLLMUL       RCC_CFGR_PLLMUL_Msk
#define RCC_CFGR_PLLMUL_0     ((uint32_t)0x1U << RCC_CFGR_PLLMUL_Pos)
#define RCC_CFGR_PLLMUL_1     ((uint32_t)0x2U << RCC_CFGR_PLLMUL_Pos)
#define RCC_CFGR_PLLMUL_2     ((uint32_t)0x4U << RCC_CFGR_PLLMUL_Pos)
#define RCC_CFGR_PLLMUL_3     ((uint32_t)0x8U << RCC_CFGR_PLLMUL_Pos)

/* RCC_CIR */
#define RCC_CIR_LSIRDYF_Pos    0U
#define RCC_CIR_LSIRDYF_Msk    ((uint32_t)0x1U << RCC_CIR_LSIRDYF_Pos)
#define RCC_CIR_LSIRDYF        RCC_CIR_LSIRDYF_Msk
#define RCC_CIR_LSERDYF_Pos    1U
#define RCC_CIR_LSERDYF_Msk    ((uint32_t)0x1U << RCC_CIR_LSERDYF_Pos)
#define RCC_CIR_LSERDYF        RCC_CIR_LSERDYF_Msk
#define RCC_CIR_HSIRDYF_Pos    2U
#define RCC_CIR_HSIRDYF_Msk    ((uint32_t)0x1U << RCC_CIR_HSIRDYF_Pos)
#define RCC_CIR_HSIRDYF        RCC_CIR_HSIRDYF_Msk
#define RCC_CIR_HSERDYF_Pos    3U
#define RCC_CIR_HSERDYF_Msk    ((uint32_t)0x1U << RCC_CIR_HSERDYF_Pos)
#define RCC_CIR_HSERDYF        RCC_CIR_HSERDYF_Msk
#define RCC_CIR_PLLRDYF_Pos    4U
#define RCC_CIR_PLLRDYF_Msk    ((uint32_t)0x1U << RCC_CIR_PLLRDYF_Pos)
#define RCC_CIR_PLLRDYF        RCC_CIR_PLLRDYF_Msk
#define RCC_CIR_HSI14RDYF_Pos  5U
#define RCC_CIR_HSI14RDYF_Msk  ((uint32_t)0x1U << RCC_CIR_HSI14RDYF_Pos)
#define RCC_CIR_HSI14RDYF      RCC_CIR_HSI14RDYF_Msk
#define RCC_CIR_CSSF_Pos       7U
#define RCC_CIR_CSSF_Msk       ((uint32_t)0x1U << RCC_CIR_CSSF_Pos)
#define RCC_CIR_CSSF           RCC_CIR_CSSF_Msk
#define RCC_CIR_LSIRDYIE_Pos   8U
#define RCC_CIR_LSIRDYIE_Msk   ((uint32_t)0x1U << RCC_CIR_LSIRDYIE_Pos)
#define RCC_CIR_LSIRDYIE       RCC_CIR_LSIRDYIE_Msk
#define RCC_CIR_LSERDYIE_Pos   9U
#define RCC_CIR_LSERDYIE_Msk   ((uint32_t)0x1U << RCC_CIR_LSERDYIE_Pos)
#define RCC_CIR_LSERDYIE       RCC_CIR_LSERDYIE_Msk
#define RCC_CIR_HSIRDYIE_Pos   10U
#define RCC_CIR_HSIRDYIE_Msk   ((uint32_t)0x1U << RCC_CIR_HSIRDYIE_Pos)
#define RCC_CIR_HSIRDYIE       RCC_CIR_HSIRDYIE_Msk
#define RCC_CIR_HSERDYIE_Pos   11U
#define RCC_CIR_HSERDYIE_Msk   ((uint32_t)0x1U << RCC_CIR_HSERDYIE_Pos)
#define RCC_CIR_HSERDYIE       RCC_CIR_HSERDYIE_Msk
#define RCC_CIR_PLLRDYIE_Pos   12U
#define RCC_CIR_PLLRDYIE_Msk   ((uint32_t)0x1U << RCC_CIR_PLLRDYIE_Pos)
#define RCC_CIR_PLLRDYIE       RCC_CIR_PLLRDYIE_Msk
#define RCC_CIR_HSI14RDYIE_Pos 13U
#define RCC_CIR_HSI14RDYIE_Msk ((uint32_t)0x1U << RCC_CIR_HSI14RDYIE_Pos)
#define RCC_CIR_HSI14RDYIE     RCC_CIR_HSI14RDYIE_Msk
#define RCC_CIR_LSIRDYC_Pos    16U
#define RCC_CIR_LSIRDYC_Msk    ((uint32_t)0x1U << RCC_CIR_LSIRDYC_Pos)
#define RCC_CIR_LSIRDYC        RCC_CIR_LSIRDYC_Msk
#define RCC_CIR_LSERDYC_Pos    17U
#define RCC_CIR_LSERDYC_Msk    ((uint32_t)0x1U << RCC_CIR_LSERDYC_Pos)
#define RCC_CIR_LSERDYC        RCC_CIR_LSERDYC_Msk
#define RCC_CIR_HSIRDYC_Pos    18U
#define RCC_CIR_HSIRDYC_Msk    ((uint32_t)0x1U << RCC_CIR_HSIRDYC_Pos)
#define RCC_CIR_HSIRDYC        RCC_CIR_HSIRDYC_Msk
#define RCC_CIR_HSERDYC_Pos    19U
#define RCC_CIR_HSERDYC_Msk    ((uint32_t)0x1U << RCC_CIR_HSERDYC_Pos)
#define RCC_CIR_HSERDYC        RCC_CIR_HSERDYC_Msk
#define RCC_CIR_PLLRDYC_Pos    20U
#define RCC_CIR_PLLRDYC_Msk    ((uint32_t)0x1U << RCC_CIR_PLLRDYC_Pos)
#define RCC_CIR_PLLRDYC        RCC_CIR_PLLRDYC_Msk
#define RCC_CIR_HSI14RDYC_Pos  21U
#define RCC_CIR_HSI14RDYC_Msk  ((uint32_t)0x1U << RCC_CIR_HSI14RDYC_Pos)
#define RCC_CIR_HSI14RDYC      RCC_CIR_HSI14RDYC_Msk
#define RCC_CIR_CSSC_Pos       23U
#define RCC_CIR_CSSC_Msk       ((uint32_t)0x1U << RCC_CIR_CSSC_Pos)
#define RCC_CIR_CSSC           RCC_CIR_CSSC_Msk

/* RCC_APB2RSTR */
#define RCC_APB2RSTR_SYSCFGRST_Pos 0U
#define RCC_APB2RSTR_SYSCFGRST_Msk ((uint32_t)0x1U << RCC_APB2RSTR_SYSCFGRST_Pos)
#define RCC_APB2RSTR_SYSCFGRST     RCC_APB2RSTR_SYSCFGRST_Msk
#define RCC_APB2RSTR_ADCRST_Pos    9U
#define RCC_APB2RSTR_ADCRST_Msk    ((uint32_t)0x1U << RCC_APB2RSTR_ADCRST_Pos)
#define RCC_APB2RSTR_ADCRST        RCC_APB2RSTR_ADCRST_Msk
#define RCC_APB2RSTR_TIM1RST_Pos   11U
#define RCC_APB2RSTR_TIM1RST_Msk   ((uint32_t)0x1U << RCC_APB2RSTR_TIM1RST_Pos)
#define RCC_APB2RSTR_TIM1RST       RCC_APB2RSTR_TIM1RST_Msk
#define RCC_APB2RSTR_SPI1RST_Pos   12U
#define RCC_APB2RSTR_SPI1RST_Msk   ((uint32_t)0x1U << RCC_APB2RSTR_SPI1RST_Pos)
#define RCC_APB2RSTR_SPI1RST       RCC_APB2RSTR_SPI1RST_Msk
#define RCC_APB2RSTR_USART1RST_Pos 14U
#define RCC_APB2RSTR_USART1RST_Msk ((uint32_t)0x1U << RCC_APB2RSTR_USART1RST_Pos)
#define RCC_APB2RSTR_USART1RST     RCC_APB2RSTR_USART1RST_Msk
#define RCC_APB2RSTR_TIM16RST_Pos  17U
#define RCC_APB2RSTR_TIM16RST_Msk  ((uint32_t)0x1U << RCC_APB2RSTR_TIM16RST_Pos)
#define RCC_APB2RSTR_TIM16RST      RCC_APB2RSTR_TIM16RST_Msk
#define RCC_APB2RSTR_TIM17RST_Pos  18U
#define RCC_APB2RSTR_TIM17RST_Msk  ((uint32_t)0x1U << RCC_APB2RSTR_TIM17RST_Pos)
#define RCC_APB2RSTR_TIM17RST      RCC_APB2RSTR_TIM17RST_Msk
#define RCC_APB2RSTR_DBGMCURST_Pos 22U
#define RCC_APB2RSTR_DBGMCURST_Msk ((uint32_t)0x1U << RCC_APB2RSTR_DBGMCURST_Pos)
#define RCC_APB2RSTR_DBGMCURST     RCC_APB2RSTR_DBGMCURST_Msk

/* RCC_APB1RSTR */
#define RCC_APB1RSTR_TIM3RST_Pos  1U
#define RCC_APB1RSTR_TIM3RST_Msk  ((uint32_t)0x1U << RCC_APB1RSTR_TIM3RST_Pos)
#define RCC_APB1RSTR_TIM3RST      RCC_APB1RSTR_TIM3RST_Msk
#define RCC_APB1RSTR_TIM14RST_Pos 8U
#define RCC_APB1RSTR_TIM14RST_Msk ((uint32_t)0x1U << RCC_APB1RSTR_TIM14RST_Pos)
#define RCC_APB1RSTR_TIM14RST     RCC_APB1RSTR_TIM14RST_Msk
#define RCC_APB1RSTR_WWDGRST_Pos  11U
#define RCC_APB1RSTR_WWDGRST_Msk  ((uint32_t)0x1U << RCC_APB1RSTR_WWDGRST_Pos)
#define RCC_APB1RSTR_WWDGRST      RCC_APB1RSTR_WWDGRST_Msk
#define RCC_APB1RSTR_I2C1RST_Pos  21U
#define RCC_APB1RSTR_I2C1RST_Msk  ((uint32_t)0x1U << RCC_APB1RSTR_I2C1RST_Pos)
#define RCC_APB1RSTR_I2C1RST      RCC_APB1RSTR_I2C1RST_Msk
#define RCC_APB1RSTR_PWRRST_Pos   28U
#define RCC_APB1RSTR_PWRRST_Msk   ((uint32_t)0x1U << RCC_APB1RSTR_PWRRST_Pos)
#define RCC_APB1RSTR_PWRRST       RCC_APB1RSTR_PWRRST_Msk

/* RCC_AHBENR */
#define RCC_AHBENR_DMAEN_Pos   0U
#define RCC_AHBENR_DMAEN_Msk   ((uint32_t)0x1U << RCC_AHBENR_DMAEN_Pos)
#define RCC_AHBENR_DMAEN       RCC_AHBENR_DMAEN_Msk
#define RCC_AHBENR_SRAMEN_Pos  2U
#define RCC_AHBENR_SRAMEN_Msk  ((uint32_t)0x1U << RCC_AHBENR_SRAMEN_Pos)
#define RCC_AHBENR_SRAMEN      RCC_AHBENR_SRAMEN_Msk
#define RCC_AHBENR_FLITFEN_Pos 4U
#define RCC_AHBENR_FLITFEN_Msk ((uint32_t)0x1U << RCC_AHBENR_FLITFEN_Pos)
#define RCC_AHBENR_FLITFEN     RCC_AHBENR_FLITFEN_Msk
#define RCC_AHBENR_CRCEN_Pos   6U
#define RCC_AHBENR_CRCEN_Msk   ((uint32_t)0x1U << RCC_AHBENR_CRCEN_Pos)
#define RCC_AHBENR_CRCEN       RCC_AHBENR_CRCEN_Msk
#define RCC_AHBENR_GPIOAEN_Pos 17U
#define RCC_AHBENR_GPIOAEN_Msk ((uint32_t)0x1U << RCC_AHBENR_GPIOAEN_Pos)
#define RCC_AHBENR_GPIOAEN     RCC_AHBENR_GPIOAEN_Msk
#define RCC_AHBENR_GPIOBEN_Pos 18U
#define RCC_AHBENR_GPIOBEN_Msk ((uint32_t)0x1U << RCC_AHBENR_GPIOBEN_Pos)
#define RCC_AHBENR_GPIOBEN     RCC_AHBENR_GPIOBEN_Msk
#define RCC_AHBENR_GPIOCEN_Pos 19U
#define RCC_AHBENR_GPIOCEN_Msk ((uint32_t)0x1U << RCC_AHBENR_GPIOCEN_Pos)
#define RCC_AHBENR_GPIOCEN     RCC_AHBENR_GPIOCEN_Msk
#define RCC_AHBENR_GPIODEN_Pos 20U
#define RCC_AHBENR_GPIODEN_Msk ((uint32_t)0x1U << RCC_AHBENR_GPIODEN_Pos)
#define RCC_AHBENR_GPIODEN     RCC_AHBENR_GPIODEN_Msk
#define RCC_AHBENR_GPIOFEN_Pos 22U
#define RCC_AHBENR_GPIOFEN_Msk ((uint32_t)0x1U << RCC_AHBENR_GPIOFEN_Pos)
#define RCC_AHBENR_GPIOFEN     RCC_AHBENR_GPIOFEN_Msk

/* RCC_APB2ENR */
#define RCC_APB2ENR_SYSCFGEN_Pos 0U
#define RCC_APB2ENR_SYSCFGEN_Msk ((uint32_t)0x1U << RCC_APB2ENR_SYSCFGEN_Pos)
#define RCC_APB2ENR_SYSCFGEN     RCC_APB2ENR_SYSCFGEN_Msk
#define RCC_APB2ENR_ADCEN_Pos    9U
#define RCC_APB2ENR_ADCEN_Msk    ((uint32_t)0x1U << RCC_APB2ENR_ADCEN_Pos)
#define RCC_APB2ENR_ADCEN        RCC_APB2ENR_ADCEN_Msk
#define RCC_APB2ENR_TIM1EN_Pos   11U
#define RCC_APB2ENR_TIM1EN_Msk   ((uint32_t)0x1U << RCC_APB2ENR_TIM1EN_Pos)
#define RCC_APB2ENR_TIM1EN       RCC_APB2ENR_TIM1EN_Msk
#define RCC_APB2ENR_SPI1EN_Pos   12U
#define RCC_APB2ENR_SPI1EN_Msk   ((uint32_t)0x1U << RCC_APB2ENR_SPI1EN_Pos)
#define RCC_APB2ENR_SPI1EN       RCC_APB2ENR_SPI1EN_Msk
#define RCC_APB2ENR_USART1EN_Pos 14U
#define RCC_APB2ENR_USART1EN_Msk ((uint32_t)0x1U << RCC_APB2ENR_USART1EN_Pos)
#define RCC_APB2ENR_USART1EN     RCC_APB2ENR_USART1EN_Msk
#define RCC_APB2ENR_TIM16EN_Pos  17U
#define RCC_APB2ENR_TIM16EN_Msk  ((uint32_t)0x1U << RCC_APB2ENR_TIM16EN_Pos)
#define RCC_APB2ENR_TIM16EN      RCC_APB2ENR_TIM16EN_Msk
#define RCC_APB2ENR_TIM17EN_Pos  18U
#define RCC_APB2ENR_TIM17EN_Msk  ((uint32_t)0x1U << RCC_APB2ENR_TIM17EN_Pos)
#define RCC_APB2ENR_TIM17EN      RCC_APB2ENR_TIM17EN_Msk
#define RCC_APB2ENR_DBGMCUEN_Pos 22U
#define RCC_APB2ENR_DBGMCUEN_Msk ((uint32_t)0x1U << RCC_APB2ENR_DBGMCUEN_Pos)
#define RCC_APB2ENR_DBGMCUEN     RCC_APB2ENR_DBGMCUEN_Msk

/* RCC_APB1ENR */
#define RCC_APB1ENR_TIM3EN_Pos  1U
#define RCC_APB1ENR_TIM3EN_Msk  ((uint32_t)0x1U << RCC_APB1ENR_TIM3EN_Pos)
#define RCC_APB1ENR_TIM3EN      RCC_APB1ENR_TIM3EN_Msk
#define RCC_APB1ENR_TIM14EN_Pos 8U
#define RCC_APB1ENR_TIM14EN_Msk ((uint32_t)0x1U << RCC_APB1ENR_TIM14EN_Pos)
#define RCC_APB1ENR_TIM14EN     RCC_APB1ENR_TIM14EN_Msk
#define RCC_APB1ENR_WWDGEN_Pos  11U
#define RCC_APB1ENR_WWDGEN_Msk  ((uint32_t)0x1U << RCC_APB1ENR_WWDGEN_Pos)
#define RCC_APB1ENR_WWDGEN      RCC_APB1ENR_WWDGEN_Msk
#define RCC_APB1ENR_I2C1EN_Pos  21U
#define RCC_APB1ENR_I2C1EN_Msk  ((uint32_t)0x1U << RCC_APB1ENR_I2C1EN_Pos)
#define RCC_APB1ENR_I2C1EN      RCC_APB1ENR_I2C1EN_Msk
#define RCC_APB1ENR_PWREN_Pos   28U
#define RCC_APB1ENR_PWREN_Msk   ((uint32_t)0x1U << RCC_APB1ENR_PWREN_Pos)
#define RCC_APB1ENR_PWREN       RCC_APB1ENR_PWREN_Msk

/* RCC_CSR */
#define RCC_CSR_LSION_Pos      0U
#define RCC_CSR_LSION_Msk      ((uint32_t)0x1U << RCC_CSR_LSION_Pos)
#define RCC_CSR_LSION          RCC_CSR_LSION_Msk
#define RCC_CSR_LSIRDY_Pos     1U
#define RCC_CSR_LSIRDY_Msk     ((uint32_t)0x1U << RCC_CSR_LSIRDY_Pos)
#define RCC_CSR_LSIRDY         RCC_CSR_LSIRDY_Msk
#define RCC_CSR_V18PWRRSTF_Pos 23U
#define RCC_CSR_V18PWRRSTF_Msk ((uint32_t)0x1U << RCC_CSR_V18PWRRSTF_Pos)
#define RCC_CSR_V18PWRRSTF     RCC_CSR_V18PWRRSTF_Msk
#define RCC_CSR_RMVF_Pos       24U
#define RCC_CSR_RMVF_Msk       ((uint32_t)0x1U << RCC_CSR_RMVF_Pos)
#define RCC_CSR_RMVF           RCC_CSR_RMVF_Msk
#define RCC_CSR_OBLRSTF_Pos    25U
#define RCC_CSR_OBLRSTF_Msk    ((uint32_t)0x1U << RCC_CSR_OBLRSTF_Pos)
#define RCC_CSR_OBLRSTF        RCC_CSR_OBLRSTF_Msk
#define RCC_CSR_PINRSTF_Pos    26U
#define RCC_CSR_PINRSTF_Msk    ((uint32_t)0x1U << RCC_CSR_PINRSTF_Pos)
#define RCC_CSR_PINRSTF        RCC_CSR_PINRSTF_Msk
#define RCC_CSR_PORRSTF_Pos    27U
#define RCC_CSR_PORRSTF_Msk    ((uint32_t)0x1U << RCC_CSR_PORRSTF_Pos)
#define RCC_CSR_PORRSTF        RCC_CSR_PORRSTF_Msk
#define RCC_CSR_SFTRSTF_Pos    28U
#define RCC_CSR_SFTRSTF_Msk    ((uint32_t)0x1U << RCC_CSR_SFTRSTF_Pos)
#define RCC_CSR_SFTRSTF        RCC_CSR_SFTRSTF_Msk
#define RCC_CSR_IWDGRSTF_Pos   29U
#define RCC_CSR_IWDGRSTF_Msk   ((uint32_t)0x1U << RCC_CSR_IWDGRSTF_Pos)
#define RCC_CSR_IWDGRSTF       RCC_CSR_IWDGRSTF_Msk
#define RCC_CSR_WWDGRSTF_Pos   30U
#define RCC_CSR_WWDGRSTF_Msk   ((uint32_t)0x1U << RCC_CSR_WWDGRSTF_Pos)
#define RCC_CSR_WWDGRSTF       RCC_CSR_WWDGRSTF_Msk
#define RCC_CSR_LPWRRSTF_Pos   31U
#define RCC_CSR_LPWRRSTF_Msk   ((uint32_t)0x1U << RCC_CSR_LPWRRSTF_Pos)
#define RCC_CSR_LPWRRSTF       RCC_CSR_LPWRRSTF_Msk

/* RCC_AHBRSTR */
#define RCC_AHBRSTR_GPIOARST_Pos 17U
#define RCC_AHBRSTR_GPIOARST_Msk ((uint32_t)0x1U << RCC_AHBRSTR_GPIOARST_Pos)
#define RCC_AHBRSTR_GPIOARST     RCC_AHBRSTR_GPIOARST_Msk
#define RCC_AHBRSTR_GPIOBRST_Pos 18U
#define RCC_AHBRSTR_GPIOBRST_Msk ((uint32_t)0x1U << RCC_AHBRSTR_GPIOBRST_Pos)
#define RCC_AHBRSTR_GPIOBRST     RCC_AHBRSTR_GPIOBRST_Msk
#define RCC_AHBRSTR_GPIOCRST_Pos 19U
#define RCC_AHBRSTR_GPIOCRST_Msk ((uint32_t)0x1U << RCC_AHBRSTR_GPIOCRST_Pos)
#define RCC_AHBRSTR_GPIOCRST     RCC_AHBRSTR_GPIOCRST_Msk
#define RCC_AHBRSTR_GPIODRST_Pos 20U
#define RCC_AHBRSTR_GPIODRST_Msk ((uint32_t)0x1U << RCC_AHBRSTR_GPIODRST_Pos)
#define RCC_AHBRSTR_GPIODRST     RCC_AHBRSTR_GPIODRST_Msk
#define RCC_AHBRSTR_GPIOFRST_Pos 22U
#define RCC_AHBRSTR_GPIOFRST_Msk ((uint32_t)0x1U << RCC_AHBRSTR_GPIOFRST_Pos)
#define RCC_AHBRSTR_GPIOFRST     RCC_AHBRSTR_GPIOFRST_Msk

/* RCC_CFGR2 */
#define RCC_CFGR2_PREDIV_Pos 0U
#define RCC_CFGR2_PREDIV_Msk ((uint32_t)0xFU << RCC_CFGR2_PREDIV_Pos)
#define RCC_CFGR2_PREDIV     RCC_CFGR2_PREDIV_Msk
#define RCC_CFGR2_PREDIV_0   ((uint32_t)0x1U << RCC_CFGR2_PREDIV_Pos)
#define RCC_CFGR2_PREDIV_1   ((uint32_t)0x2U << RCC_CFGR2_PREDIV_Pos)
#define RCC_CFGR2_PREDIV_2   ((uint32_t)0x4U << RCC_CFGR2_PREDIV_Pos)
#define RCC_CFGR2_PREDIV_3   ((uint32_t)0x8U << RCC_CFGR2_PREDIV_Pos)

/* RCC_CFGR3 */
#define RCC_CFGR3_USART1SW_Pos 0U
#define RCC_CFGR3_USART1SW_Msk ((uint32_t)0x3U << RCC_CFGR3_USART1SW_Pos)
#define RCC_CFGR3_USART1SW     RCC_CFGR3_USART1SW_Msk
#define RCC_CFGR3_USART1SW_0   ((uint32_t)0x1U << RCC_CFGR3_USART1SW_Pos)
#define RCC_CFGR3_USART1SW_1   ((uint32_t)0x2U << RCC_CFGR3_USART1SW_Pos)
#define RCC_CFGR3_I2C1SW_Pos   4U
#define RCC_CFGR3_I2C1SW_Msk   ((uint32_t)0x1U << RCC_CFGR3_I2C1SW_Pos)
#define RCC_CFGR3_I2C1SW       RCC_CFGR3_I2C1SW_Msk

/* RCC_CR2 */
#define RCC_CR2_HSI14ON_Pos   0U
#define RCC_CR2_HSI14ON_Msk   ((uint32_t)0x1U << RCC_CR2_HSI14ON_Pos)
#define RCC_CR2_HSI14ON       RCC_CR2_HSI14ON_Msk
#define RCC_CR2_HSI14RDY_Pos  1U
#define RCC_CR2_HSI14RDY_Msk  ((uint32_t)0x1U << RCC_CR2_HSI14RDY_Pos)
#define RCC_CR2_HSI14RDY      RCC_CR2_HSI14RDY_Msk
#define RCC_CR2_HSI14DIS_Pos  2U
#define RCC_CR2_HSI14DIS_Msk  ((uint32_t)0x1U << RCC_CR2_HSI14DIS_Pos)
#define RCC_CR2_HSI14DIS      RCC_CR2_HSI14DIS_Msk
#define RCC_CR2_HSI14TRIM_Pos 3U
#define RCC_CR2_HSI14TRIM_Msk ((uint32_t)0x1FU << RCC_CR2_HSI14TRIM_Pos)
#define RCC_CR2_HSI14TRIM     RCC_CR2_HSI14TRIM_Msk
#define RCC_CR2_HSI14CAL_Pos  8U
#define RCC_CR2_HSI14CAL_Msk  ((uint32_t)0xFFU << RCC_CR2_HSI14CAL_Pos)
#define RCC_CR2_HSI14CAL      RCC_CR2_HSI14CAL_Msk

/* FLASH_ACR */
#define FLASH_ACR_LATENCY_Pos 0U
#define FLASH_ACR_LATENCY_Msk ((uint32_t)0x1U << FLASH_ACR_LATENCY_Pos)
#define FLASH_ACR_LATENCY     FLASH_ACR_LATENCY_Msk
#define FLASH_ACR_PRFTBE_Pos  4U
#define FLASH_ACR_PRFTBE_Msk  ((uint32_t)0x1U << FLASH_ACR_PRFTBE_Pos)
#define FLASH_ACR_PRFTBE      FLASH_ACR_PRFTBE_Msk
#define FLASH_ACR_PRFTBS_Pos  5U
#define FLASH_ACR_PRFTBS_Msk  ((uint32_t)0x1U << FLASH_ACR_PRFTBS_Pos)
#define FLASH_ACR_PRFTBS      FLASH_ACR_PRFTBS_Msk

/* FLASH_SR */
#define FLASH_SR_BSY_Pos      0U
#define FLASH_SR_BSY_Msk      ((uint32_t)0x1U << FLASH_SR_BSY_Pos)
#define FLASH_SR_BSY          FLASH_SR_BSY_Msk
#define FLASH_SR_PGERR_Pos    2U
#define FLASH_SR_PGERR_Msk    ((uint32_t)0x1U << FLASH_SR_PGERR_Pos)
#define FLASH_SR_PGERR        FLASH_SR_PGERR_Msk
#define FLASH_SR_WRPRTERR_Pos 4U
#define FLASH_SR_WRPRTERR_Msk ((uint32_t)0x1U << FLASH_SR_WRPRTERR_Pos)
#define FLASH_SR_WRPRTERR     FLASH_SR_WRPRTERR_Msk
#define FLASH_SR_EOP_Pos      5U
#define FLASH_SR_EOP_Msk      ((uint32_t)0x1U << FLASH_SR_EOP_Pos)
#define FLASH_SR_EOP          FLASH_SR_EOP_Msk

/* FLASH_CR */
#define FLASH_CR_PG_Pos         0U
#define FLASH_CR_PG_Msk         ((uint32_t)0x1U << FLASH_CR_PG_Pos)
#define FLASH_CR_PG             FLASH_CR_PG_Msk
#define FLASH_CR_PER_Pos        1U
#define FLASH_CR_PER_Msk        ((uint32_t)0x1U << FLASH_CR_PER_Pos)
#define FLASH_CR_PER            FLASH_CR_PER_Msk
#define FLASH_CR_MER_Pos        2U
#define FLASH_CR_MER_Msk        ((uint32_t)0x1U << FLASH_CR_MER_Pos)
#define FLASH_CR_MER            FLASH_CR_MER_Msk
#define FLASH_CR_OPTPG_Pos      4U
#define FLASH_CR_OPTPG_Msk      ((uint32_t)0x1U << FLASH_CR_OPTPG_Pos)
#define FLASH_CR_OPTPG          FLASH_CR_OPTPG_Msk
#define FLASH_CR_OPTER_Pos      5U
#define FLASH_CR_OPTER_Msk      ((uint32_t)0x1U << FLASH_CR_OPTER_Pos)
#define FLASH_CR_OPTER          FLASH_CR_OPTER_Msk
#define FLASH_CR_STRT_Pos       6U
#define FLASH_CR_STRT_Msk       ((uint32_t)0x1U << FLASH_CR_STRT_Pos)
#define FLASH_CR_STRT           FLASH_CR_STRT_Msk
#define FLASH_CR_LOCK_Pos       7U
#define FLASH_CR_LOCK_Msk       ((uint32_t)0x1U << FLASH_CR_LOCK_Pos)
#define FLASH_CR_LOCK           FLASH_CR_LOCK_Msk
#define FLASH_CR_OPTWRE_Pos     9U
#define FLASH_CR_OPTWRE_Msk     ((uint32_t)0x1U << FLASH_CR_OPTWRE_Pos)
#define FLASH_CR_OPTWRE         FLASH_CR_OPTWRE_Msk
#define FLASH_CR_ERRIE_Pos      10U
#define FLASH_CR_ERRIE_Msk      ((uint32_t)0x1U << FLASH_CR_ERRIE_Pos)
#define FLASH_CR_ERRIE          FLASH_CR_ERRIE_Msk
#define FLASH_CR_EOPIE_Pos      12U
#define FLASH_CR_EOPIE_Msk      ((uint32_t)0x1U << FLASH_CR_EOPIE_Pos)
#define FLASH_CR_EOPIE          FLASH_CR_EOPIE_Msk
#define FLASH_CR_OBL_LAUNCH_Pos 13U
#define FLASH_CR_OBL_LAUNCH_Msk ((uint32_t)0x1U << FLASH_CR_OBL_LAUNCH_Pos)
#define FLASH_CR_OBL_LAUNCH     FLASH_CR_OBL_LAUNCH_Msk

/* FLASH_OBR */
#define FLASH_OBR_OPTERR_Pos 0U
#define FLASH_OBR_OPTERR_Msk ((uint32_t)0x1U << FLASH_OBR_OPTERR_Pos)
#define FLASH_OBR_OPTERR     FLASH_OBR_OPTERR_Msk
#define FLASH_OBR_RDPRT_Pos  1U
#define FLASH_OBR_RDPRT_Msk  ((uint32_t)0x3U << FLASH_OBR_RDPRT_Pos)
#define FLASH_OBR_RDPRT      FLASH_OBR_RDPRT_Msk
#define FLASH_OBR_USER_Pos   8U
#define FLASH_OBR_USER_Msk   ((uint32_t)0xFFU << FLASH_OBR_USER_Pos)
#define FLASH_OBR_USER       FLASH_OBR_USER_Msk
#define FLASH_OBR_DATA0_Pos  16U
#define FLASH_OBR_DATA0_Msk  ((uint32_t)0xFFU << FLASH_OBR_DATA0_Pos)
#define FLASH_OBR_DATA0      FLASH_OBR_DATA0_Msk
#define FLASH_OBR_DATA1_Pos  24U
#define FLASH_OBR_DATA1_Msk  ((uint32_t)0xFFU << FLASH_OBR_DATA1_Pos)
#define FLASH_OBR_DATA1      FLASH_OBR_DATA1_Msk

/* USART_CR1 */
#define USART_CR1_UE_Pos     0U
#define USART_CR1_UE_Msk     ((uint32_t)0x1U << USART_CR1_UE_Pos)
#define USART_CR1_UE         USART_CR1_UE_Msk
#define USART_CR1_RE_Pos     2U
#define USART_CR1_RE_Msk     ((uint32_t)0x1U << USART_CR1_RE_Pos)
#define USART_CR1_RE         USART_CR1_RE_Msk
#define USART_CR1_TE_Pos     3U
#define USART_CR1_TE_Msk     ((uint32_t)0x1U << USART_CR1_TE_Pos)
#define USART_CR1_TE         USART_CR1_TE_Msk
#define USART_CR1_IDLEIE_Pos 4U
#define USART_CR1_IDLEIE_Msk ((uint32_t)0x1U << USART_CR1_IDLEIE_Pos)
#define USART_CR1_IDLEIE     USART_CR1_IDLEIE_Msk
#define USART_CR1_RXNEIE_Pos 5U
#define USART_CR1_RXNEIE_Msk ((uint32_t)0x1U << USART_CR1_RXNEIE_Pos)
#define USART_CR1_RXNEIE     USART_CR1_RXNEIE_Msk
#define USART_CR1_TCIE_Pos   6U
#define USART_CR1_TCIE_Msk   ((uint32_t)0x1U << USART_CR1_TCIE_Pos)
#define USART_CR1_TCIE       USART_CR1_TCIE_Msk
#define USART_CR1_TXEIE_Pos  7U
#define USART_CR1_TXEIE_Msk  ((uint32_t)0x1U << USART_CR1_TXEIE_Pos)
#define USART_CR1_TXEIE      USART_CR1_TXEIE_Msk
#define USART_CR1_PEIE_Pos   8U
#define USART_CR1_PEIE_Msk   ((uint32_t)0x1U << USART_CR1_PEIE_Pos)
#define USART_CR1_PEIE       USART_CR1_PEIE_Msk
#define USART_CR1_PS_Pos     9U
#define USART_CR1_PS_Msk     ((uint32_t)0x1U << USART_CR1_PS_Pos)
#define USART_CR1_PS         USART_CR1_PS_Msk
#define USART_CR1_PCE_Pos    10U
#define USART_CR1_PCE_Msk    ((uint32_t)0x1U << USART_CR1_PCE_Pos)
#define USART_CR1_PCE        USART_CR1_PCE_Msk
#define USART_CR1_WAKE_Pos   11U
#define USART_CR1_WAKE_Msk   ((uint32_t)0x1U << USART_CR1_WAKE_Pos)
#define USART_CR1_WAKE       USART_CR1_WAKE_Msk
#define USART_CR1_M_Pos      12U
#define USART_CR1_M_Msk      ((uint32_t)0x1U << USART_CR1_M_Pos)
#define USART_CR1_M          USART_CR1_M_Msk
#define USART_CR1_MME_Pos    13U
#define USART_CR1_MME_Msk    ((uint32_t)0x1U << USART_CR1_MME_Pos)
#define USART_CR1_MME        USART_CR1_MME_Msk
#define USART_CR1_CMIE_Pos   14U
#define USART_CR1_CMIE_Msk   ((uint32_t)0x1U << USART_CR1_CMIE_Pos)
#define USART_CR1_CMIE       USART_CR1_CMIE_Msk
#define USART_CR1_OVER8_Pos  15U
#define USART_CR1_OVER8_Msk  ((uint32_t)0x1U << USART_CR1_OVER8_Pos)
#define USART_CR1_OVER8      USART_CR1_OVER8_Msk
#define USART_CR1_DEDT_Pos   16U
#define USART_CR1_DEDT_Msk   ((uint32_t)0x1FU << USART_CR1_DEDT_Pos)
#define USART_CR1_DEDT       USART_CR1_DEDT_Msk
#define USART_CR1_DEAT_Pos   21U
#define USART_CR1_DEAT_Msk   ((uint32_t)0x1FU << USART_CR1_DEAT_Pos)
#define USART_CR1_DEAT       USART_CR1_DEAT_Msk
#define USART_CR1_RTOIE_Pos  26U
#define USART_CR1_RTOIE_Msk  ((uint32_t)0x1U << USART_CR1_RTOIE_Pos)
#define USART_CR1_RTOIE      USART_CR1_RTOIE_Msk

/* USART_CR2 */
#define USART_CR2_ADDM7_Pos    4U
#define USART_CR2_ADDM7_Msk    ((uint32_t)0x1U << USART_CR2_ADDM7_Pos)
#define USART_CR2_ADDM7        USART_CR2_ADDM7_Msk
#define USART_CR2_LBCL_Pos     8U
#define USART_CR2_LBCL_Msk     ((uint32_t)0x1U << USART_CR2_LBCL_Pos)
#define USART_CR2_LBCL         USART_CR2_LBCL_Msk
#define USART_CR2_CPHA_Pos     9U
#define USART_CR2_CPHA_Msk     ((uint32_t)0x1U << USART_CR2_CPHA_Pos)
#define USART_CR2_CPHA         USART_CR2_CPHA_Msk
#define USART_CR2_CPOL_Pos     10U
#define USART_CR2_CPOL_Msk     ((uint32_t)0x1U << USART_CR2_CPOL_Pos)
#define USART_CR2_CPOL         USART_CR2_CPOL_Msk
#define USART_CR2_CLKEN_Pos    11U
#define USART_CR2_CLKEN_Msk    ((uint32_t)0x1U << USART_CR2_CLKEN_Pos)
#define USART_CR2_CLKEN        USART_CR2_CLKEN_Msk
#define USART_CR2_STOP_Pos     12U
#define USART_CR2_STOP_Msk     ((uint32_t)0x3U << USART_CR2_STOP_Pos)
#define USART_CR2_STOP         USART_CR2_STOP_Msk
#define USART_CR2_STOP_0       ((uint32_t)0x1U << USART_CR2_STOP_Pos)
#define USART_CR2_STOP_1       ((uint32_t)0x2U << USART_CR2_STOP_Pos)
#define USART_CR2_LINEN_Pos    14U
#define USART_CR2_LINEN_Msk    ((uint32_t)0x1U << USART_CR2_LINEN_Pos)
#define USART_CR2_LINEN        USART_CR2_LINEN_Msk
#define USART_CR2_SWAP_Pos     15U
#define USART_CR2_SWAP_Msk     ((uint32_t)0x1U << USART_CR2_SWAP_Pos)
#define USART_CR2_SWAP         USART_CR2_SWAP_Msk
#define USART_CR2_RXINV_Pos    16U
#define USART_CR2_RXINV_Msk    ((uint32_t)0x1U << USART_CR2_RXINV_Pos)
#define USART_CR2_RXINV        USART_CR2_RXINV_Msk
#define USART_CR2_TXINV_Pos    17U
#define USART_CR2_TXINV_Msk    ((uint32_t)0x1U << USART_CR2_TXINV_Pos)
#define USART_CR2_TXINV        USART_CR2_TXINV_Msk
#define USART_CR2_DATAINV_Pos  18U
#define USART_CR2_DATAINV_Msk  ((uint32_t)0x1U << USART_CR2_DATAINV_Pos)
#define USART_CR2_DATAINV      USART_CR2_DATAINV_Msk
#define USART_CR2_MSBFIRST_Pos 19U
#define USART_CR2_MSBFIRST_Msk ((uint32_t)0x1U << USART_CR2_MSBFIRST_Pos)
#define USART_CR2_MSBFIRST     USART_CR2_MSBFIRST_Msk
#define USART_CR2_ABREN_Pos    20U
#define USART_CR2_ABREN_Msk    ((uint32_t)0x1U << USART_CR2_ABREN_Pos)
#define USART_CR2_ABREN        USART_CR2_ABREN_Msk
#define USART_CR2_ABRMODE_Pos  21U
#define USART_CR2_ABRMODE_Msk  ((uint32_t)0x3U << USART_CR2_ABRMODE_Pos)
#define USART_CR2_ABRMODE      USART_CR2_ABRMODE_Msk
#define USART_CR2_ABRMODE_0    ((uint32_t)0x1U << USART_CR2_ABRMODE_Pos)
#define USART_CR2_ABRMODE_1    ((uint32_t)0x2U << USART_CR2_ABRMODE_Pos)
#define USART_CR2_RTOEN_Pos    23U
#define USART_CR2_RTOEN_Msk    ((uint32_t)0x1U << USART_CR2_RTOEN_Pos)
#define USART_CR2_RTOEN        USART_CR2_RTOEN_Msk
#define USART_CR2_ADD_Pos      24U
#define USART_CR2_ADD_Msk      ((uint32_t)0xFFU << USART_CR2_ADD_Pos)
#define USART_CR2_ADD          USART_CR2_ADD_Msk

/* USART_CR3 */
#define USART_CR3_EIE_Pos    0U
#define USART_CR3_EIE_Msk    ((uint32_t)0x1U << USART_CR3_EIE_Pos)
#define USART_CR3_EIE        USART_CR3_EIE_Msk
#define USART_CR3_IREN_Pos   1U
#define USART_CR3_IREN_Msk   ((uint32_t)0x1U << USART_CR3_IREN_Pos)
#define USART_CR3_IREN       USART_CR3_IREN_Msk
#define USART_CR3_IRLP_Pos   2U
#define USART_CR3_IRLP_Msk   ((uint32_t)0x1U << USART_CR3_IRLP_Pos)
#define USART_CR3_IRLP       USART_CR3_IRLP_Msk
#define USART_CR3_HDSEL_Pos  3U
#define USART_CR3_HDSEL_Msk  ((uint32_t)0x1U << USART_CR3_HDSEL_Pos)
#define USART_CR3_HDSEL      USART_CR3_HDSEL_Msk
#define USART_CR3_NACK_Pos   4U
#define USART_CR3_NACK_Msk   ((uint32_t)0x1U << USART_CR3_NACK_Pos)
#define USART_CR3_NACK       USART_CR3_NACK_Msk
#define USART_CR3_SCEN_Pos   5U
#define USART_CR3_SCEN_Msk   ((uint32_t)0x1U << USART_CR3_SCEN_Pos)
#define USART_CR3_SCEN       USART_CR3_SCEN_Msk
#define USART_CR3_DMAR_Pos   6U
#define USART_CR3_DMAR_Msk   ((uint32_t)0x1U << USART_CR3_DMAR_Pos)
#define USART_CR3_DMAR       USART_CR3_DMAR_Msk
#define USART_CR3_DMAT_Pos   7U
#define USART_CR3_DMAT_Msk   ((uint32_t)0x1U << USART_CR3_DMAT_Pos)
#define USART_CR3_DMAT       USART_CR3_DMAT_Msk
#define USART_CR3_RTSE_Pos   8U
#define USART_CR3_RTSE_Msk   ((uint32_t)0x1U << USART_CR3_RTSE_Pos)
#define USART_CR3_RTSE       USART_CR3_RTSE_Msk
#define USART_CR3_CTSE_Pos   9U
#define USART_CR3_CTSE_Msk   ((uint32_t)0x1U << USART_CR3_CTSE_Pos)
#define USART_CR3_CTSE       USART_CR3_CTSE_Msk
#define USART_CR3_CTSIE_Pos  10U
#define USART_CR3_CTSIE_Msk  ((uint32_t)0x1U << USART_CR3_CTSIE_Pos)
#define USART_CR3_CTSIE      USART_CR3_CTSIE_Msk
#define USART_CR3_ONEBIT_Pos 11U
#define USART_CR3_ONEBIT_Msk ((uint32_t)0x1U << USART_CR3_ONEBIT_Pos)
#define USART_CR3_ONEBIT     USART_CR3_ONEBIT_Msk
#define USART_CR3_OVRDIS_Pos 12U
#define USART_CR3_OVRDIS_Msk ((uint32_t)0x1U << USART_CR3_OVRDIS_Pos)
#define USART_CR3_OVRDIS     USART_CR3_OVRDIS_Msk
#define USART_CR3_DDRE_Pos   13U
#define USART_CR3_DDRE_Msk   ((uint32_t)0x1U << USART_CR3_DDRE_Pos)
#define USART_CR3_DDRE       USART_CR3_DDRE_Msk
#define USART_CR3_DEM_Pos    14U
#define USART_CR3_DEM_Msk    ((uint32_t)0x1U << USART_CR3_DEM_Pos)
#define USART_CR3_DEM        USART_CR3_DEM_Msk
#define USART_CR3_DEP_Pos    15U
#define USART_CR3_DEP_Msk    ((uint32_t)0x1U << USART_CR3_DEP_Pos)
#define USART_CR3_DEP        USART_CR3_DEP_Msk

/* USART_BRR */
#define USART_BRR_BRR_Pos 0U
#define USART_BRR_BRR_Msk ((uint32_t)0xFFFFU << USART_BRR_BRR_Pos)
#define USART_BRR_BRR     USART_BRR_BRR_Msk

/* USART_RTOR */
#define USART_RTOR_RTO_Pos 0U
#define USART_RTOR_RTO_Msk ((uint32_t)0xFFFFFFU << USART_RTOR_RTO_Pos)
#define USART_RTOR_RTO     USART_RTOR_RTO_Msk

/* USART_RQR */
#define USART_RQR_ABRRQ_Pos 0U
#define USART_RQR_ABRRQ_Msk ((uint32_t)0x1U << USART_RQR_ABRRQ_Pos)
#define USART_RQR_ABRRQ     USART_RQR_ABRRQ_Msk
#define USART_RQR_SBKRQ_Pos 1U
#define USART_RQR_SBKRQ_Msk ((uint32_t)0x1U << USART_RQR_SBKRQ_Pos)
#define USART_RQR_SBKRQ     USART_RQR_SBKRQ_Msk
#define USART_RQR_MMRQ_Pos  2U
#define USART_RQR_MMRQ_Msk  ((uint32_t)0x1U << USART_RQR_MMRQ_Pos)
#define USART_RQR_MMRQ      USART_RQR_MMRQ_Msk
#define USART_RQR_RXFRQ_Pos 3U
#define USART_RQR_RXFRQ_Msk ((uint32_t)0x1U << USART_RQR_RXFRQ_Pos)
#define USART_RQR_RXFRQ     USART_RQR_RXFRQ_Msk

/* USART_ISR */
#define USART_ISR_PE_Pos    0U
#define USART_ISR_PE_Msk    ((uint32_t)0x1U << USART_ISR_PE_Pos)
#define USART_ISR_PE        USART_ISR_PE_Msk
#define USART_ISR_FE_Pos    1U
#define USART_ISR_FE_Msk    ((uint32_t)0x1U << USART_ISR_FE_Pos)
#define USART_ISR_FE        USART_ISR_FE_Msk
#define USART_ISR_NE_Pos    2U
#define USART_ISR_NE_Msk    ((uint32_t)0x1U << USART_ISR_NE_Pos)
#define USART_ISR_NE        USART_ISR_NE_Msk
#define USART_ISR_ORE_Pos   3U
#define USART_ISR_ORE_Msk   ((uint32_t)0x1U << USART_ISR_ORE_Pos)
#define USART_ISR_ORE       USART_ISR_ORE_Msk
#define USART_ISR_IDLE_Pos  4U
#define USART_ISR_IDLE_Msk  ((uint32_t)0x1U << USART_ISR_IDLE_Pos)
#define USART_ISR_IDLE      USART_ISR_IDLE_Msk
#define USART_ISR_RXNE_Pos  5U
#define USART_ISR_RXNE_Msk  ((uint32_t)0x1U << USART_ISR_RXNE_Pos)
#define USART_ISR_RXNE      USART_ISR_RXNE_Msk
#define USART_ISR_TC_Pos    6U
#define USART_ISR_TC_Msk    ((uint32_t)0x1U << USART_ISR_TC_Pos)
#define USART_ISR_TC        USART_ISR_TC_Msk
#define USART_ISR_TXE_Pos   7U
#define USART_ISR_TXE_Msk   ((uint32_t)0x1U << USART_ISR_TXE_Pos)
#define USART_ISR_TXE       USART_ISR_TXE_Msk
#define USART_ISR_CTSIF_Pos 9U
#define USART_ISR_CTSIF_Msk ((uint32_t)0x1U << USART_ISR_CTSIF_Pos)
#define USART_ISR_CTSIF     USART_ISR_CTSIF_Msk
#define USART_ISR_CTS_Pos   10U
#define USART_ISR_CTS_Msk   ((uint32_t)0x1U << USART_ISR_CTS_Pos)
#define USART_ISR_CTS       USART_ISR_CTS_Msk
#define USART_ISR_RTOF_Pos  11U
#define USART_ISR_RTOF_Msk  ((uint32_t)0x1U << USART_ISR_RTOF_Pos)
#define USART_ISR_RTOF      USART_ISR_RTOF_Msk
#define USART_ISR_ABRE_Pos  14U
#define USART_ISR_ABRE_Msk  ((uint32_t)0x1U << USART_ISR_ABRE_Pos)
#define USART_ISR_ABRE      USART_ISR_ABRE_Msk
#define USART_ISR_ABRF_Pos  15U
#define USART_ISR_ABRF_Msk  ((uint32_t)0x1U << USART_ISR_ABRF_Pos)
#define USART_ISR_ABRF      USART_ISR_ABRF_Msk
#define USART_ISR_BUSY_Pos  16U
#define USART_ISR_BUSY_Msk  ((uint32_t)0x1U << USART_ISR_BUSY_Pos)
#define USART_ISR_BUSY      USART_ISR_BUSY_Msk
#define USART_ISR_CMF_Pos   17U
#define USART_ISR_CMF_Msk   ((uint32_t)0x1U << USART_ISR_CMF_Pos)
#define USART_ISR_CMF       USART_ISR_CMF_Msk
#define USART_ISR_SBKF_Pos  18U
#define USART_ISR_SBKF_Msk  ((uint32_t)0x1U << USART_ISR_SBKF_Pos)
#define USART_ISR_SBKF      USART_ISR_SBKF_Msk
#define USART_ISR_RWU_Pos   19U
#define USART_ISR_RWU_Msk   ((uint32_t)0x1U << USART_ISR_RWU_Pos)
#define USART_ISR_RWU       USART_ISR_RWU_Msk
#define USART_ISR_TEACK_Pos 21U
#define USART_ISR_TEACK_Msk ((uint32_t)0x1U << USART_ISR_TEACK_Pos)
#define USART_ISR_TEACK     USART_ISR_TEACK_Msk
#define USART_ISR_REACK_Pos 22U
#define USART_ISR_REACK_Msk ((uint32_t)0x1U << USART_ISR_REACK_Pos)
#define USART_ISR_REACK     USART_ISR_REACK_Msk

/* USART_ICR */
#define USART_ICR_PECF_Pos   0U
#define USART_ICR_PECF_Msk   ((uint32_t)0x1U << USART_ICR_PECF_Pos)
#define USART_ICR_PECF       USART_ICR_PECF_Msk
#define USART_ICR_FECF_Pos   1U
#define USART_ICR_FECF_Msk   ((uint32_t)0x1U << USART_ICR_FECF_Pos)
#define USART_ICR_FECF       USART_ICR_FECF_Msk
#define USART_ICR_NCF_Pos    2U
#define USART_ICR_NCF_Msk    ((uint32_t)0x1U << USART_ICR_NCF_Pos)
#define USART_ICR_NCF        USART_ICR_NCF_Msk
#define USART_ICR_ORECF_Pos  3U
#define USART_ICR_ORECF_Msk  ((uint32_t)0x1U << USART_ICR_ORECF_Pos)
#define USART_ICR_ORECF      USART_ICR_ORECF_Msk
#define USART_ICR_IDLECF_Pos 4U
#define USART_ICR_IDLECF_Msk ((uint32_t)0x1U << USART_ICR_IDLECF_Pos)
#define USART_ICR_IDLECF     USART_ICR_IDLECF_Msk
#define USART_ICR_TCCF_Pos   6U
#define USART_ICR_TCCF_Msk   ((uint32_t)0x1U << USART_ICR_TCCF_Pos)
#define USART_ICR_TCCF       USART_ICR_TCCF_Msk
#define USART_ICR_CTSCF_Pos  9U
#define USART_ICR_CTSCF_Msk  ((uint32_t)0x1U << USART_ICR_CTSCF_Pos)
#define USART_ICR_CTSCF      USART_ICR_CTSCF_Msk
#define USART_ICR_RTOCF_Pos  11U
#define USART_ICR_RTOCF_Msk  ((uint32_t)0x1U << USART_ICR_RTOCF_Pos)
#define USART_ICR_RTOCF      USART_ICR_RTOCF_Msk
#define USART_ICR_CMCF_Pos   17U
#define USART_ICR_CMCF_Msk   ((uint32_t)0x1U << USART_ICR_CMCF_Pos)
#define USART_ICR_CMCF       USART_ICR_CMCF_Msk

/* USART_RDR */
#define USART_RDR_RDR_Pos 0U
#define USART_RDR_RDR_Msk ((uint32_t)0x1FFU << USART_RDR_RDR_Pos)
#define USART_RDR_RDR     USART_RDR_RDR_Msk

/* USART_TDR */
#define USART_TDR_TDR_Pos 0U
#define USART_TDR_TDR_Msk ((uint32_t)0x1FFU << USART_TDR_TDR_Pos)
#define USART_TDR_TDR     USART_TDR_TDR_Msk

/* ADC_ISR */
#define ADC_ISR_ADRDY_Pos 0U
#define ADC_ISR_ADRDY_Msk ((uint32_t)0x1U << ADC_ISR_ADRDY_Pos)
#define ADC_ISR_ADRDY     ADC_ISR_ADRDY_Msk
#define ADC_ISR_EOSMP_Pos 1U
#define ADC_ISR_EOSMP_Msk ((uint32_t)0x1U << ADC_ISR_EOSMP_Pos)
#define ADC_ISR_EOSMP     ADC_ISR_EOSMP_Msk
#define ADC_ISR_EOC_Pos   2U
#define ADC_ISR_EOC_Msk   ((uint32_t)0x1U << ADC_ISR_EOC_Pos)
#define ADC_ISR_EOC       ADC_ISR_EOC_Msk
#define ADC_ISR_EOS_Pos   3U
#define ADC_ISR_EOS_Msk   ((uint32_t)0x1U << ADC_ISR_EOS_Pos)
#define ADC_ISR_EOS       ADC_ISR_EOS_Msk
#define ADC_ISR_OVR_Pos   4U
#define ADC_ISR_OVR_Msk   ((uint32_t)0x1U << ADC_ISR_OVR_Pos)
#define ADC_ISR_OVR       ADC_ISR_OVR_Msk
#define ADC_ISR_AWD_Pos   7U
#define ADC_ISR_AWD_Msk   ((uint32_t)0x1U << ADC_ISR_AWD_Pos)
#define ADC_ISR_AWD       ADC_ISR_AWD_Msk

/* ADC_IER */
#define ADC_IER_ADRDYIE_Pos 0U
#define ADC_IER_ADRDYIE_Msk ((uint32_t)0x1U << ADC_IER_ADRDYIE_Pos)
#define ADC_IER_ADRDYIE     ADC_IER_ADRDYIE_Msk
#define ADC_IER_EOSMPIE_Pos 1U
#define ADC_IER_EOSMPIE_Msk ((uint32_t)0x1U << ADC_IER_EOSMPIE_Pos)
#define ADC_IER_EOSMPIE     ADC_IER_EOSMPIE_Msk
#define ADC_IER_EOCIE_Pos   2U
#define ADC_IER_EOCIE_Msk   ((uint32_t)0x1U << ADC_IER_EOCIE_Pos)
#define ADC_IER_EOCIE       ADC_IER_EOCIE_Msk
#define ADC_IER_EOSIE_Pos   3U
#define ADC_IER_EOSIE_Msk   ((uint32_t)0x1U << ADC_IER_EOSIE_Pos)
#define ADC_IER_EOSIE       ADC_IER_EOSIE_Msk
#define ADC_IER_OVRIE_Pos   4U
#define ADC_IER_OVRIE_Msk   ((uint32_t)0x1U << ADC_IER_OVRIE_Pos)
#define ADC_IER_OVRIE       ADC_IER_OVRIE_Msk
#define ADC_IER_AWDIE_Pos   7U
#define ADC_IER_AWDIE_Msk   ((uint32_t)0x1U << ADC_IER_AWDIE_Pos)
#define ADC_IER_AWDIE       ADC_IER_AWDIE_Msk

/* ADC_CR */
#define ADC_CR_ADEN_Pos    0U
#define ADC_CR_ADEN_Msk    ((uint32_t)0x1U << ADC_CR_ADEN_Pos)
#define ADC_CR_ADEN        ADC_CR_ADEN_Msk
#define ADC_CR_ADDIS_Pos   1U
#define ADC_CR_ADDIS_Msk   ((uint32_t)0x1U << ADC_CR_ADDIS_Pos)
#define ADC_CR_ADDIS       ADC_CR_ADDIS_Msk
#define ADC_CR_ADSTART_Pos 2U
#define ADC_CR_ADSTART_Msk ((uint32_t)0x1U << ADC_CR_ADSTART_Pos)
#define ADC_CR_ADSTART     ADC_CR_ADSTART_Msk
#define ADC_CR_ADSTP_Pos   4U
#define ADC_CR_ADSTP_Msk   ((uint32_t)0x1U << ADC_CR_ADSTP_Pos)
#define ADC_CR_ADSTP       ADC_CR_ADSTP_Msk
#define ADC_CR_ADCAL_Pos   31U
#define ADC_CR_ADCAL_Msk   ((uint32_t)0x1U << ADC_CR_ADCAL_Pos)
#define ADC_CR_ADCAL       ADC_CR_ADCAL_Msk

/* ADC_CFGR1 */
#define ADC_CFGR1_DMAEN_Pos   0U
#define ADC_CFGR1_DMAEN_Msk   ((uint32_t)0x1U << ADC_CFGR1_DMAEN_Pos)
#define ADC_CFGR1_DMAEN       ADC_CFGR1_DMAEN_Msk
#define ADC_CFGR1_DMACFG_Pos  1U
#define ADC_CFGR1_DMACFG_Msk  ((uint32_t)0x1U << ADC_CFGR1_DMACFG_Pos)
#define ADC_CFGR1_DMACFG      ADC_CFGR1_DMACFG_Msk
#define ADC_CFGR1_SCANDIR_Pos 2U
#define ADC_CFGR1_SCANDIR_Msk ((uint32_t)0x1U << ADC_CFGR1_SCANDIR_Pos)
#define ADC_CFGR1_SCANDIR     ADC_CFGR1_SCANDIR_Msk
#define ADC_CFGR1_RES_Pos     3U
#define ADC_CFGR1_RES_Msk     ((uint32_t)0x3U << ADC_CFGR1_RES_Pos)
#define ADC_CFGR1_RES         ADC_CFGR1_RES_Msk
#define ADC_CFGR1_RES_0       ((uint32_t)0x1U << ADC_CFGR1_RES_Pos)
#define ADC_CFGR1_RES_1       ((uint32_t)0x2U << ADC_CFGR1_RES_Pos)
#define ADC_CFGR1_ALIGN_Pos   5U
#define ADC_CFGR1_ALIGN_Msk   ((uint32_t)0x1U << ADC_CFGR1_ALIGN_Pos)
#define ADC_CFGR1_ALIGN       ADC_CFGR1_ALIGN_Msk
#define ADC_CFGR1_EXTSEL_Pos  6U
#define ADC_CFGR1_EXTSEL_Msk  ((uint32_t)0x7U << ADC_CFGR1_EXTSEL_Pos)
#define ADC_CFGR1_EXTSEL      ADC_CFGR1_EXTSEL_Msk
#define ADC_CFGR1_EXTSEL_0    ((uint32_t)0x1U << ADC_CFGR1_EXTSEL_Pos)
#define ADC_CFGR1_EXTSEL_1    ((uint32_t)0x2U << ADC_CFGR1_EXTSEL_Pos)
#define ADC_CFGR1_EXTSEL_2    ((uint32_t)0x4U << ADC_CFGR1_EXTSEL_Pos)
#define ADC_CFGR1_EXTEN_Pos   10U
#define ADC_CFGR1_EXTEN_Msk   ((uint32_t)0x3U << ADC_CFGR1_EXTEN_Pos)
#define ADC_CFGR1_EXTEN       ADC_CFGR1_EXTEN_Msk
#define ADC_CFGR1_EXTEN_0     ((uint32_t)0x1U << ADC_CFGR1_EXTEN_Pos)
#define ADC_CFGR1_EXTEN_1     ((uint32_t)0x2U << ADC_CFGR1_EXTEN_Pos)
#define ADC_CFGR1_OVRMOD_Pos  12U
#define ADC_CFGR1_OVRMOD_Msk  ((uint32_t)0x1U << ADC_CFGR1_OVRMOD_Pos)
#define ADC_CFGR1_OVRMOD      ADC_CFGR1_OVRMOD_Msk
#define ADC_CFGR1_CONT_Pos    13U
#define ADC_CFGR1_CONT_Msk    ((uint32_t)0x1U << ADC_CFGR1_CONT_Pos)
#define ADC_CFGR1_CONT        ADC_CFGR1_CONT_Msk
#define ADC_CFGR1_WAIT_Pos    14U
#define ADC_CFGR1_WAIT_Msk    ((uint32_t)0x1U << ADC_CFGR1_WAIT_Pos)
#define ADC_CFGR1_WAIT        ADC_CFGR1_WAIT_Msk
#define ADC_CFGR1_AUTOFF_Pos  15U
#define ADC_CFGR1_AUTOFF_Msk  ((uint32_t)0x1U << ADC_CFGR1_AUTOFF_Pos)
#define ADC_CFGR1_AUTOFF      ADC_CFGR1_AUTOFF_Msk
#define ADC_CFGR1_DISCEN_Pos  16U
#define ADC_CFGR1_DISCEN_Msk  ((uint32_t)0x1U << ADC_CFGR1_DISCEN_Pos)
#define ADC_CFGR1_DISCEN      ADC_CFGR1_DISCEN_Msk
#define ADC_CFGR1_AWDSGL_Pos  22U
#define ADC_CFGR1_AWDSGL_Msk  ((uint32_t)0x1U << ADC_CFGR1_AWDSGL_Pos)
#define ADC_CFGR1_AWDSGL      ADC_CFGR1_AWDSGL_Msk
#define ADC_CFGR1_AWDEN_Pos   23U
#define ADC_CFGR1_AWDEN_Msk   ((uint32_t)0x1U << ADC_CFGR1_AWDEN_Pos)
#define ADC_CFGR1_AWDEN       ADC_CFGR1_AWDEN_Msk
#define ADC_CFGR1_AWDCH_Pos   26U
#define ADC_CFGR1_AWDCH_Msk   ((uint32_t)0x1FU << ADC_CFGR1_AWDCH_Pos)
#define ADC_CFGR1_AWDCH       ADC_CFGR1_AWDCH_Msk

/* ADC_CFGR2 */
#define ADC_CFGR2_CKMODE_Pos 30U
#define ADC_CFGR2_CKMODE_Msk ((uint32_t)0x3U << ADC_CFGR2_CKMODE_Pos)
#define ADC_CFGR2_CKMODE     ADC_CFGR2_CKMODE_Msk
#define ADC_CFGR2_CKMODE_0   ((uint32_t)0x1U << ADC_CFGR2_CKMODE_Pos)
#define ADC_CFGR2_CKMODE_1   ((uint32_t)0x2U << ADC_CFGR2_CKMODE_Pos)

/* ADC_SMPR */
#define ADC_SMPR_SMP_Pos 0U
#define ADC_SMPR_SMP_Msk ((uint32_t)0x7U << ADC_SMPR_SMP_Pos)
#define ADC_SMPR_SMP     ADC_SMPR_SMP_Msk
#define ADC_SMPR_SMP_0   ((uint32_t)0x1U << ADC_SMPR_SMP_Pos)
#define ADC_SMPR_SMP_1   ((uint32_t)0x2U << ADC_SMPR_SMP_Pos)
#define ADC_SMPR_SMP_2   ((uint32_t)0x4U << ADC_SMPR_SMP_Pos)

/* ADC_TR */
#define ADC_TR_LT_Pos 0U
#define ADC_TR_LT_Msk ((uint32_t)0xFFFU << ADC_TR_LT_Pos)
#define ADC_TR_LT     ADC_TR_LT_Msk
#define ADC_TR_HT_Pos 16U
#define ADC_TR_HT_Msk ((uint32_t)0xFFFU << ADC_TR_HT_Pos)
#define ADC_TR_HT     ADC_TR_HT_Msk

/* ADC_DR */
#define ADC_DR_DATA_Pos 0U
#define ADC_DR_DATA_Msk ((uint32_t)0xFFFFU << ADC_DR_DATA_Pos)
#define ADC_DR_DATA     ADC_DR_DATA_Msk

/* ADC_CCR */
#define ADC_CCR_VREFEN_Pos 22U
#define ADC_CCR_VREFEN_Msk ((uint32_t)0x1U << ADC_CCR_VREFEN_Pos)
#define ADC_CCR_VREFEN     ADC_CCR_VREFEN_Msk
#define ADC_CCR_TSEN_Pos   23U
#define ADC_CCR_TSEN_Msk   ((uint32_t)0x1U << ADC_CCR_TSEN_Pos)
#define ADC_CCR_TSEN       ADC_CCR_TSEN_Msk

/* TIM_CR1 */
#define TIM_CR1_CEN_Pos  0U
#define TIM_CR1_CEN_Msk  ((uint32_t)0x1U << TIM_CR1_CEN_Pos)
#define TIM_CR1_CEN      TIM_CR1_CEN_Msk
#define TIM_CR1_UDIS_Pos 1U
#define TIM_CR1_UDIS_Msk ((uint32_t)0x1U << TIM_CR1_UDIS_Pos)
#define TIM_CR1_UDIS     TIM_CR1_UDIS_Msk
#define TIM_CR1_URS_Pos  2U
#define TIM_CR1_URS_Msk  ((uint32_t)0x1U << TIM_CR1_URS_Pos)
#define TIM_CR1_URS      TIM_CR1_URS_Msk
#define TIM_CR1_OPM_Pos  3U
#define TIM_CR1_OPM_Msk  ((uint32_t)0x1U << TIM_CR1_OPM_Pos)
#define TIM_CR1_OPM      TIM_CR1_OPM_Msk
#define TIM_CR1_DIR_Pos  4U
#define TIM_CR1_DIR_Msk  ((uint32_t)0x1U << TIM_CR1_DIR_Pos)
#define TIM_CR1_DIR      TIM_CR1_DIR_Msk
#define TIM_CR1_CMS_Pos  5U
#define TIM_CR1_CMS_Msk  ((uint32_t)0x3U << TIM_CR1_CMS_Pos)
#define TIM_CR1_CMS      TIM_CR1_CMS_Msk
#define TIM_CR1_CMS_0    ((uint32_t)0x1U << TIM_CR1_CMS_Pos)
#define TIM_CR1_CMS_1    ((uint32_t)0x2U << TIM_CR1_CMS_Pos)
#define TIM_CR1_ARPE_Pos 7U
#define TIM_CR1_ARPE_Msk ((uint32_t)0x1U << TIM_CR1_ARPE_Pos)
#define TIM_CR1_ARPE     TIM_CR1_ARPE_Msk
#define TIM_CR1_CKD_Pos  8U
#define TIM_CR1_CKD_Msk  ((uint32_t)0x3U << TIM_CR1_CKD_Pos)
#define TIM_CR1_CKD      TIM_CR1_CKD_Msk
#define TIM_CR1_CKD_0    ((uint32_t)0x1U << TIM_CR1_CKD_Pos)
#define TIM_CR1_CKD_1    ((uint32_t)0x2U << TIM_CR1_CKD_Pos)

/* TIM_CR2 */
#define TIM_CR2_CCDS_Pos 3U
#define TIM_CR2_CCDS_Msk ((uint32_t)0x1U << TIM_CR2_CCDS_Pos)
#define TIM_CR2_CCDS     TIM_CR2_CCDS_Msk
#define TIM_CR2_MMS_Pos  4U
#define TIM_CR2_MMS_Msk  ((uint32_t)0x7U << TIM_CR2_MMS_Pos)
#define TIM_CR2_MMS      TIM_CR2_MMS_Msk
#define TIM_CR2_MMS_0    ((uint32_t)0x1U << TIM_CR2_MMS_Pos)
#define TIM_CR2_MMS_1    ((uint32_t)0x2U << TIM_CR2_MMS_Pos)
#define TIM_CR2_MMS_2    ((uint32_t)0x4U << TIM_CR2_MMS_Pos)
#define TIM_CR2_TI1S_Pos 7U
#define TIM_CR2_TI1S_Msk ((uint32_t)0x1U << TIM_CR2_TI1S_Pos)
#define TIM_CR2_TI1S     TIM_CR2_TI1S_Msk

/* TIM_SMCR */
#define TIM_SMCR_SMS_Pos  0U
#define TIM_SMCR_SMS_Msk  ((uint32_t)0x7U << TIM_SMCR_SMS_Pos)
#define TIM_SMCR_SMS      TIM_SMCR_SMS_Msk
#define TIM_SMCR_SMS_0    ((uint32_t)0x1U << TIM_SMCR_SMS_Pos)
#define TIM_SMCR_SMS_1    ((uint32_t)0x2U << TIM_SMCR_SMS_Pos)
#define TIM_SMCR_SMS_2    ((uint32_t)0x4U << TIM_SMCR_SMS_Pos)
#define TIM_SMCR_OCCS_Pos 3U
#define TIM_SMCR_OCCS_Msk ((uint32_t)0x1U << TIM_SMCR_OCCS_Pos)
#define TIM_SMCR_OCCS     TIM_SMCR_OCCS_Msk
#define TIM_SMCR_TS_Pos   4U
#define TIM_SMCR_TS_Msk   ((uint32_t)0x7U << TIM_SMCR_TS_Pos)
#define TIM_SMCR_TS       TIM_SMCR_TS_Msk
#define TIM_SMCR_TS_0     ((uint32_t)0x1U << TIM_SMCR_TS_Pos)
#define TIM_SMCR_TS_1     ((uint32_t)0x2U << TIM_SMCR_TS_Pos)
#define TIM_SMCR_TS_2     ((uint32_t)0x4U << TIM_SMCR_TS_Pos)
#define TIM_SMCR_MSM_Pos  7U
#define TIM_SMCR_MSM_Msk  ((uint32_t)0x1U << TIM_SMCR_MSM_Pos)
#define TIM_SMCR_MSM      TIM_SMCR_MSM_Msk
#define TIM_SMCR_ETF_Pos  8U
#define TIM_SMCR_ETF_Msk  ((uint32_t)0xFU << TIM_SMCR_ETF_Pos)
#define TIM_SMCR_ETF      TIM_SMCR_ETF_Msk
#define TIM_SMCR_ETF_0    ((uint32_t)0x1U << TIM_SMCR_ETF_Pos)
#define TIM_SMCR_ETF_1    ((uint32_t)0x2U << TIM_SMCR_ETF_Pos)
#define TIM_SMCR_ETF_2    ((uint32_t)0x4U << TIM_SMCR_ETF_Pos)
#define TIM_SMCR_ETF_3    ((uint32_t)0x8U << TIM_SMCR_ETF_Pos)
#define TIM_SMCR_ETPS_Pos 12U
#define TIM_SMCR_ETPS_Msk ((uint32_t)0x3U << TIM_SMCR_ETPS_Pos)
#define TIM_SMCR_ETPS     TIM_SMCR_ETPS_Msk
#define TIM_SMCR_ETPS_0   ((uint32_t)0x1U << TIM_SMCR_ETPS_Pos)
#define TIM_SMCR_ETPS_1   ((uint32_t)0x2U << TIM_SMCR_ETPS_Pos)
#define TIM_SMCR_ECE_Pos  14U
#define TIM_SMCR_ECE_Msk  ((uint32_t)0x1U << TIM_SMCR_ECE_Pos)
#define TIM_SMCR_ECE      TIM_SMCR_ECE_Msk
#define TIM_SMCR_ETP_Pos  15U
#define TIM_SMCR_ETP_Msk  ((uint32_t)0x1U << TIM_SMCR_ETP_Pos)
#define TIM_SMCR_ETP      TIM_SMCR_ETP_Msk

/* TIM_DIER */
#define TIM_DIER_UIE_Pos   0U
#define TIM_DIER_UIE_Msk   ((uint32_t)0x1U << TIM_DIER_UIE_Pos)
#define TIM_DIER_UIE       TIM_DIER_UIE_Msk
#define TIM_DIER_CC1IE_Pos 1U
#define TIM_DIER_CC1IE_Msk ((uint32_t)0x1U << TIM_DIER_CC1IE_Pos)
#define TIM_DIER_CC1IE     TIM_DIER_CC1IE_Msk
#define TIM_DIER_CC2IE_Pos 2U
#define TIM_DIER_CC2IE_Msk ((uint32_t)0x1U << TIM_DIER_CC2IE_Pos)
#define TIM_DIER_CC2IE     TIM_DIER_CC2IE_Msk
#define TIM_DIER_CC3IE_Pos 3U
#define TIM_DIER_CC3IE_Msk ((uint32_t)0x1U << TIM_DIER_CC3IE_Pos)
#define TIM_DIER_CC3IE     TIM_DIER_CC3IE_Msk
#define TIM_DIER_CC4IE_Pos 4U
#define TIM_DIER_CC4IE_Msk ((uint32_t)0x1U << TIM_DIER_CC4IE_Pos)
#define TIM_DIER_CC4IE     TIM_DIER_CC4IE_Msk
#define TIM_DIER_TIE_Pos   6U
#define TIM_DIER_TIE_Msk   ((uint32_t)0x1U << TIM_DIER_TIE_Pos)
#define TIM_DIER_TIE       TIM_DIER_TIE_Msk
#define TIM_DIER_UDE_Pos   8U
#define TIM_DIER_UDE_Msk   ((uint32_t)0x1U << TIM_DIER_UDE_Pos)
#define TIM_DIER_UDE       TIM_DIER_UDE_Msk
#define TIM_DIER_CC1DE_Pos 9U
#define TIM_DIER_CC1DE_Msk ((uint32_t)0x1U << TIM_DIER_CC1DE_Pos)
#define TIM_DIER_CC1DE     TIM_DIER_CC1DE_Msk
#define TIM_DIER_CC2DE_Pos 10U
#define TIM_DIER_CC2DE_Msk ((uint32_t)0x1U << TIM_DIER_CC2DE_Pos)
#define TIM_DIER_CC2DE     TIM_DIER_CC2DE_Msk
#define TIM_DIER_CC3DE_Pos 11U
#define TIM_DIER_CC3DE_Msk ((uint32_t)0x1U << TIM_DIER_CC3DE_Pos)
#define TIM_DIER_CC3DE     TIM_DIER_CC3DE_Msk
#define TIM_DIER_CC4DE_Pos 12U
#define TIM_DIER_CC4DE_Msk ((uint32_t)0x1U << TIM_DIER_CC4DE_Pos)
#define TIM_DIER_CC4DE     TIM_DIER_CC4DE_Msk
#define TIM_DIER_TDE_Pos   14U
#define TIM_DIER_TDE_Msk   ((uint32_t)0x1U << TIM_DIER_TDE_Pos)
#define TIM_DIER_TDE       TIM_DIER_TDE_Msk

/* TIM_SR */
#define TIM_SR_UIF_Pos   0U
#define TIM_SR_UIF_Msk   ((uint32_t)0x1U << TIM_SR_UIF_Pos)
#define TIM_SR_UIF       TIM_SR_UIF_Msk
#define TIM_SR_CC1IF_Pos 1U
#define TIM_SR_CC1IF_Msk ((uint32_t)0x1U << TIM_SR_CC1IF_Pos)
#define TIM_SR_CC1IF     TIM_SR_CC1IF_Msk
#define TIM_SR_CC2IF_Pos 2U
#define TIM_SR_CC2IF_Msk ((uint32_t)0x1U << TIM_SR_CC2IF_Pos)
#define TIM_SR_CC2IF     TIM_SR_CC2IF_Msk
#define TIM_SR_CC3IF_Pos 3U
#define TIM_SR_CC3IF_Msk ((uint32_t)0x1U << TIM_SR_CC3IF_Pos)
#define TIM_SR_CC3IF     TIM_SR_CC3IF_Msk
#define TIM_SR_CC4IF_Pos 4U
#define TIM_SR_CC4IF_Msk ((uint32_t)0x1U << TIM_SR_CC4IF_Pos)
#define TIM_SR_CC4IF     TIM_SR_CC4IF_Msk
#define TIM_SR_TIF_Pos   6U
#define TIM_SR_TIF_Msk   ((uint32_t)0x1U << TIM_SR_TIF_Pos)
#define TIM_SR_TIF       TIM_SR_TIF_Msk
#define TIM_SR_CC1OF_Pos 9U
#define TIM_SR_CC1OF_Msk ((uint32_t)0x1U << TIM_SR_CC1OF_Pos)
#define TIM_SR_CC1OF     TIM_SR_CC1OF_Msk
#define TIM_SR_CC2OF_Pos 10U
#define TIM_SR_CC2OF_Msk ((uint32_t)0x1U << TIM_SR_CC2OF_Pos)
#define TIM_SR_CC2OF     TIM_SR_CC2OF_Msk
#define TIM_SR_CC3OF_Pos 11U
#define TIM_SR_CC3OF_Msk ((uint32_t)0x1U << TIM_SR_CC3OF_Pos)
#define TIM_SR_CC3OF     TIM_SR_CC3OF_Msk
#define TIM_SR_CC4OF_Pos 12U
#define TIM_SR_CC4OF_Msk ((uint32_t)0x1U << TIM_SR_CC4OF_Pos)
#define TIM_SR_CC4OF     TIM_SR_CC4OF_Msk

/* TIM_EGR */
#define TIM_EGR_UG_Pos   0U
#define TIM_EGR_UG_Msk   ((uint32_t)0x1U << TIM_EGR_UG_Pos)
#define TIM_EGR_UG       TIM_EGR_UG_Msk
#define TIM_EGR_CC1G_Pos 1U
#define TIM_EGR_CC1G_Msk ((uint32_t)0x1U << TIM_EGR_CC1G_Pos)
#define TIM_EGR_CC1G     TIM_EGR_CC1G_Msk
#define TIM_EGR_CC2G_Pos 2U
#define TIM_EGR_CC2G_Msk ((uint32_t)0x1U << TIM_EGR_CC2G_Pos)
#define TIM_EGR_CC2G     TIM_EGR_CC2G_Msk
#define TIM_EGR_CC3G_Pos 3U
#define TIM_EGR_CC3G_Msk ((uint32_t)0x1U << TIM_EGR_CC3G_Pos)
#define TIM_EGR_CC3G     TIM_EGR_CC3G_Msk
#define TIM_EGR_CC4G_Pos 4U
#define TIM_EGR_CC4G_Msk ((uint32_t)0x1U << TIM_EGR_CC4G_Pos)
#define TIM_EGR_CC4G     TIM_EGR_CC4G_Msk
#define TIM_EGR_TG_Pos   6U
#define TIM_EGR_TG_Msk   ((uint32_t)0x1U << TIM_EGR_TG_Pos)
#define TIM_EGR_TG       TIM_EGR_TG_Msk

/* Field values */
#define RCC_CFGR_SW_HSI           ((uint32_t)0x0U)
#define RCC_CFGR_SW_HSE           ((uint32_t)0x1U)
#define RCC_CFGR_SW_PLL           ((uint32_t)0x2U)
#define RCC_CFGR_SWS_HSI          ((uint32_t)0x0U)
#define RCC_CFGR_SWS_HSE          ((uint32_t)0x4U)
#define RCC_CFGR_SWS_PLL          ((uint32_t)0x8U)
#define RCC_CFGR_HPRE_DIV1        ((uint32_t)0x00U)
#define RCC_CFGR_HPRE_DIV2        ((uint32_t)0x80U)
#define RCC_CFGR_HPRE_DIV4        ((uint32_t)0x90U)
#define RCC_CFGR_HPRE_DIV8        ((uint32_t)0xA0U)
#define RCC_CFGR_HPRE_DIV16       ((uint32_t)0xB0U)
#define RCC_CFGR_HPRE_DIV64       ((uint32_t)0xC0U)
#define RCC_CFGR_HPRE_DIV128      ((uint32_t)0xD0U)
#define RCC_CFGR_HPRE_DIV256      ((uint32_t)0xE0U)
#define RCC_CFGR_HPRE_DIV512      ((uint32_t)0xF0U)
#define RCC_CFGR_PPRE_DIV1        ((uint32_t)0x000U)
#define RCC_CFGR_PPRE_DIV2        ((uint32_t)0x400U)
#define RCC_CFGR_PPRE_DIV4        ((uint32_t)0x500U)
#define RCC_CFGR_PPRE_DIV8        ((uint32_t)0x600U)
#define RCC_CFGR_PPRE_DIV16       ((uint32_t)0x700U)
#define RCC_CFGR3_USART1SW_PCLK   ((uint32_t)0x0U)
#define RCC_CFGR3_USART1SW_SYSCLK ((uint32_t)0x1U)
#define RCC_CFGR3_USART1SW_LSE    ((uint32_t)0x2U)
#define RCC_CFGR3_USART1SW_HSI    ((uint32_t)0x3U)
#define FLASH_ACR_LATENCY_0WS     ((uint32_t)0x0U)  /* SYSCLK <= 24 MHz */
#define FLASH_ACR_LATENCY_1WS     FLASH_ACR_LATENCY /* 24 MHz < SYSCLK <= 48 MHz */

/* Flash unlock sequences */
#define FLASH_KEY1    ((uint32_t)0x45670123U)
#define FLASH_KEY2    ((uint32_t)0xCDEF89ABU)
#define FLASH_OPTKEY1 ((uint32_t)0x45670123U)
#define FLASH_OPTKEY2 ((uint32_t)0xCDEF89ABU)

/* ADC channel selection bits (CHSELR) */
#define ADC_CHSELR_CHSEL_Pos 0U
#define ADC_CHSELR_CHSEL_Msk ((uint32_t)0x3FFFFU << ADC_CHSELR_CHSEL_Pos)
#define ADC_CHSELR_CHSEL     ADC_CHSELR_CHSEL_Msk
#define ADC_CHSELR_CHSEL0    ((uint32_t)0x1U << 0)
#define ADC_CHSELR_CHSEL1    ((uint32_t)0x1U << 1)
#define ADC_CHSELR_CHSEL2    ((uint32_t)0x1U << 2)
#define ADC_CHSELR_CHSEL3    ((uint32_t)0x1U << 3)
#define ADC_CHSELR_CHSEL4    ((uint32_t)0x1U << 4)
#define ADC_CHSELR_CHSEL5    ((uint32_t)0x1U << 5)
#define ADC_CHSELR_CHSEL6    ((uint32_t)0x1U << 6)
#define ADC_CHSELR_CHSEL7    ((uint32_t)0x1U << 7)
#define ADC_CHSELR_CHSEL8    ((uint32_t)0x1U << 8)
#define ADC_CHSELR_CHSEL9    ((uint32_t)0x1U << 9)
#define ADC_CHSELR_CHSEL10   ((uint32_t)0x1U << 10)
#define ADC_CHSELR_CHSEL11   ((uint32_t)0x1U << 11)
#define ADC_CHSELR_CHSEL12   ((uint32_t)0x1U << 12)
#define ADC_CHSELR_CHSEL13   ((uint32_t)0x1U << 13)
#define ADC_CHSELR_CHSEL14   ((uint32_t)0x1U << 14)
#define ADC_CHSELR_CHSEL15   ((uint32_t)0x1U << 15)
#define ADC_CHSELR_CHSEL16   ((uint32_t)0x1U << 16) /* temperature sensor */
#define ADC_CHSELR_CHSEL17   ((uint32_t)0x1U << 17) /* internal reference */

#endif /* STM32F030X6_H */
