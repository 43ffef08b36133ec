/* Cortex-M0 core peripherals: system control block, SysTick and NVIC.
 *
 * Included by the device header once IRQn_Type and __NVIC_PRIO_BITS are
 * known. The M0 only does word accesses to the NVIC priority and system
 * handler priority registers, so those are 32-bit cells here and a priority
 * is set by a read-modify-write of its byte lane.
 */
#ifndef CORE_CM0_H
#define CORE_CM0_H

#include <stddef.h>
#include <stdint.h>

#include "platform_regs.h"

#ifndef __NVIC_PRIO_BITS
#define __NVIC_PRIO_BITS 2U
#endif

/* ------------------------------------------------------------------------ */
/* Register blocks                                                          */
/* ------------------------------------------------------------------------ */

typedef struct {
    reg32_t  CPUID;     /* 0x00 CPU ID base */
    reg32_t  ICSR;      /* 0x04 interrupt control and state */
    uint32_t RESERVED0; /* 0x08 (no vector table offset on the M0) */
    reg32_t  AIRCR;     /* 0x0C application interrupt and reset control */
    reg32_t  SCR;       /* 0x10 system control */
    reg32_t  CCR;       /* 0x14 configuration and control */
    uint32_t RESERVED1; /* 0x18 */
    reg32_t  SHP[2];    /* 0x1C SHPR2 (SVCall), 0x20 SHPR3 (PendSV, SysTick) */
    reg32_t  SHCSR;     /* 0x24 system handler control and state */
} SCB_Type;

typedef struct {
    reg32_t CTRL;  /* 0x00 control and status */
    reg32_t LOAD;  /* 0x04 reload value */
    reg32_t VAL;   /* 0x08 current value */
    reg32_t CALIB; /* 0x0C calibration */
} SysTick_Type;

typedef struct {
    reg32_t  ISER[1]; /* 0x000 interrupt set-enable */
    uint32_t RESERVED0[31];
    reg32_t  ICER[1]; /* 0x080 interrupt clear-enable */
    uint32_t RESERVED1[31];
    reg32_t  ISPR[1]; /* 0x100 interrupt set-pending */
    uint32_t RESERVED2[31];
    reg32_t  ICPR[1]; /* 0x180 interrupt clear-pending */
    uint32_t RESERVED3[31];
    uint32_t RESERVED4[64];
    reg32_t  IP[8]; /* 0x300 interrupt priority, four IRQs a word */
} NVIC_Type;

static_assert(offsetof(SCB_Type, AIRCR) == 0x0CU, "SCB AIRCR offset");
static_assert(offsetof(SCB_Type, SHP) == 0x1CU, "SCB SHPR2 offset");
static_assert(offsetof(SCB_Type, SHCSR) == 0x24U, "SCB SHCSR offset");
static_assert(offsetof(SysTick_Type, CALIB) == 0x0CU, "SysTick CALIB offset");
static_assert(offsetof(NVIC_Type, ICER) == 0x080U, "NVIC ICER offset");
static_assert(offsetof(NVIC_Type, ISPR) == 0x100U, "NVIC ISPR offset");
static_assert(offsetof(NVIC_Type, ICPR) == 0x180U, "NVIC ICPR offset");
static_assert(offsetof(NVIC_Type, IP) == 0x300U, "NVIC IP offset");

/* ------------------------------------------------------------------------ */
/* Memory map                                                               */
/* ------------------------------------------------------------------------ */

#define SCS_BASE     ((uint32_t)0xE000E000U) /* system control space */
#define SysTick_BASE (SCS_BASE + 0x0010U)
#define NVIC_BASE    (SCS_BASE + 0x0100U)
#define SCB_BASE     (SCS_BASE + 0x0D00U)

#define SCB     PERIPH_PTR(SCB_Type, SCB_BASE)
#define SysTick PERIPH_PTR(SysTick_Type, SysTick_BASE)
#define NVIC    PERIPH_PTR(NVIC_Type, NVIC_BASE)

/* ------------------------------------------------------------------------ */
/* Bit definitions                                                          */
/* ------------------------------------------------------------------------ */

/* SCB_ICSR */
#define SCB_ICSR_NMIPENDSET_Pos  31U
#define SCB_ICSR_NMIPENDSET_Msk  ((uint32_t)0x1U << SCB_ICSR_NMIPENDSET_Pos)
#define SCB_ICSR_PENDSVSET_Pos   28U
#define SCB_ICSR_PENDSVSET_Msk   ((uint32_t)0x1U << SCB_ICSR_PENDSVSET_Pos)
#define SCB_ICSR_PENDSVCLR_Pos   27U
#define SCB_ICSR_PENDSVCLR_Msk   ((uint32_t)0x1U << SCB_ICSR_PENDSVCLR_Pos)
#define SCB_ICSR_PENDSTSET_Pos   26U
#define SCB_ICSR_PENDSTSET_Msk   ((uint32_t)0x1U << SCB_ICSR_PENDSTSET_Pos)
#define SCB_ICSR_PENDSTCLR_Pos   25U
#define SCB_ICSR_PENDSTCLR_Msk   ((uint32_t)0x1U << SCB_ICSR_PENDSTCLR_Pos)
#define SCB_ICSR_ISRPREEMPT_Pos  23U
#define SCB_ICSR_ISRPREEMPT_Msk  ((uint32_t)0x1U << SCB_ICSR_ISRPREEMPT_Pos)
#define SCB_ICSR_ISRPENDING_Pos  22U
#define SCB_ICSR_ISRPENDING_Msk  ((uint32_t)0x1U << SCB_ICSR_ISRPENDING_Pos)
#define SCB_ICSR_VECTPENDING_Pos 12U
#define SCB_ICSR_VECTPENDING_Msk ((uint32_t)0x1FFU << SCB_ICSR_VECTPENDING_Pos)
#define SCB_ICSR_VECTACTIVE_Pos  0U
#define SCB_ICSR_VECTACTIVE_Msk  ((uint32_t)0x1FFU << SCB_ICSR_VECTACTIVE_Pos)

/* SCB_AIRCR */
#define SCB_AIRCR_VECTKEY_Pos       16U
#define SCB_AIRCR_VECTKEY_Msk       ((uint32_t)0xFFFFU << SCB_AIRCR_VECTKEY_Pos)
#define SCB_AIRCR_VECTKEY           ((uint32_t)0x05FAU << SCB_AIRCR_VECTKEY_Pos)
#define SCB_AIRCR_ENDIANESS_Pos     15U
#define SCB_AIRCR_ENDIANESS_Msk     ((uint32_t)0x1U << SCB_AIRCR_ENDIANESS_Pos)
#define SCB_AIRCR_SYSRESETREQ_Pos   2U
#define SCB_AIRCR_SYSRESETREQ_Msk   ((uint32_t)0x1U << SCB_AIRCR_SYSRESETREQ_Pos)
#define SCB_AIRCR_VECTCLRACTIVE_Pos 1U
#define SCB_AIRCR_VECTCLRACTIVE_Msk ((uint32_t)0x1U << SCB_AIRCR_VECTCLRACTIVE_Pos)

/* SCB_SCR */
#define SCB_SCR_SEVONPEND_Pos   4U
#define SCB_SCR_SEVONPEND_Msk   ((uint32_t)0x1U << SCB_SCR_SEVONPEND_Pos)
#define SCB_SCR_SLEEPDEEP_Pos   2U
#define SCB_SCR_SLEEPDEEP_Msk   ((uint32_t)0x1U << SCB_SCR_SLEEPDEEP_Pos)
#define SCB_SCR_SLEEPONEXIT_Pos 1U
#define SCB_SCR_SLEEPONEXIT_Msk ((uint32_t)0x1U << SCB_SCR_SLEEPONEXIT_Pos)

/* SCB_CCR */
#define SCB_CCR_STKALIGN_Pos    9U
#define SCB_CCR_STKALIGN_Msk    ((uint32_t)0x1U << SCB_CCR_STKALIGN_Pos)
#define SCB_CCR_UNALIGN_TRP_Pos 3U
#define SCB_CCR_UNALIGN_TRP_Msk ((uint32_t)0x1U << SCB_CCR_UNALIGN_TRP_Pos)

/* SCB_SHCSR */
#define SCB_SHCSR_SVCALLPENDED_Pos 15U
#define SCB_SHCSR_SVCALLPENDED_Msk ((uint32_t)0x1U << SCB_SHCSR_SVCALLPENDED_Pos)

/* SysTick_CTRL */
#define SysTick_CTRL_COUNTFLAG_Pos 16U
#define SysTick_CTRL_COUNTFLAG_Msk ((uint32_t)0x1U << SysTick_CTRL_COUNTFLAG_Pos)
#define SysTick_CTRL_CLKSOURCE_Pos 2U
#define SysTick_CTRL_CLKSOURCE_Msk ((uint32_t)0x1U << SysTick_CTRL_CLKSOURCE_Pos)
#define SysTick_CTRL_TICKINT_Pos   1U
#define SysTick_CTRL_TICKINT_Msk   ((uint32_t)0x1U << SysTick_CTRL_TICKINT_Pos)
#define SysTick_CTRL_ENABLE_Pos    0U
#define SysTick_CTRL_ENABLE_Msk    ((uint32_t)0x1U << SysTick_CTRL_ENABLE_Pos)

/* SysTick_LOAD */
#define SysTick_LOAD_RELOAD_Pos 0U
#define SysTick_LOAD_RELOAD_Msk ((uint32_t)0xFFFFFFU << SysTick_LOAD_RELOAD_Pos)

/* SysTick_VAL */
#define SysTick_VAL_CURRENT_Pos 0U
#define SysTick_VAL_CURRENT_Msk ((uint32_t)0xFFFFFFU << SysTick_VAL_CURRENT_Pos)

/* SysTick_CALIB */
#define SysTick_CALIB_NOREF_Pos 31U
#define SysTick_CALIB_NOREF_Msk ((uint32_t)0x1U << SysTick_CALIB_NOREF_Pos)
#define SysTick_CALIB_SKEW_Pos  30U
#define SysTick_CALIB_SKEW_Msk  ((uint32_t)0x1U << SysTick_CALIB_SKEW_Pos)
#define SysTick_CALIB_TENMS_Pos 0U
#define SysTick_CALIB_TENMS_Msk ((uint32_t)0xFFFFFFU << SysTick_CALIB_TENMS_Pos)

/* ------------------------------------------------------------------------ */
/* NVIC functions                                                           */
/* ------------------------------------------------------------------------ */

#ifdef __cplusplus
extern "C" {
#endif

/* Bit offset of an interrupt's priority byte inside its 32-bit word. */
static inline uint32_t NVIC_PrioShift(IRQn_Type IRQn) { return (((uint32_t)(int32_t)IRQn) & 0x03U) * 8U; }

/* Word of NVIC->IP holding a device interrupt's priority (IRQn >= 0). */
static inline uint32_t NVIC_PrioIndex(IRQn_Type IRQn) { return ((uint32_t)(int32_t)IRQn) >> 2U; }

/* Word of SCB->SHP holding a system exception's priority (IRQn < 0):
   SVCall (-5) is in SHPR2, PendSV (-2) and SysTick (-1) in SHPR3. */
static inline uint32_t SCB_PrioIndex(IRQn_Type IRQn) { return ((((uint32_t)(int32_t)IRQn) & 0x0FU) - 8U) >> 2U; }

static inline void NVIC_EnableIRQ(IRQn_Type IRQn)
{
    if ((int32_t)IRQn >= 0) {
        NVIC->ISER[0] = (uint32_t)1U << (((uint32_t)(int32_t)IRQn) & 0x1FU);
    }
}

static inline void NVIC_DisableIRQ(IRQn_Type IRQn)
{
    if ((int32_t)IRQn >= 0) {
        NVIC->ICER[0] = (uint32_t)1U << (((uint32_t)(int32_t)IRQn) & 0x1FU);
#if defined(__arm__)
        /* Let the disable take effect before the caller goes on. */
        __asm volatile("dsb 0xF" ::: "memory");
        __asm volatile("isb 0xF" ::: "memory");
#endif
    }
}

static inline void NVIC_SetPriority(IRQn_Type IRQn, uint32_t priority)
{
    const uint32_t shift = NVIC_PrioShift(IRQn);
    const uint32_t value = ((priority << (8U - __NVIC_PRIO_BITS)) & (uint32_t)0xFFU) << shift;
    const uint32_t keep  = ~((uint32_t)0xFFU << shift);

    if ((int32_t)IRQn >= 0) {
        const uint32_t idx = NVIC_PrioIndex(IRQn);
        NVIC->IP[idx]      = (NVIC->IP[idx] & keep) | value;
    } else {
        const uint32_t idx = SCB_PrioIndex(IRQn);
        SCB->SHP[idx]      = (SCB->SHP[idx] & keep) | value;
    }
}

static inline uint32_t NVIC_GetPriority(IRQn_Type IRQn)
{
    const uint32_t shift = NVIC_PrioShift(IRQn);
    uint32_t       word;

    if ((int32_t)IRQn >= 0) {
        word = NVIC->IP[NVIC_PrioIndex(IRQn)];
    } else {
        word = SCB->SHP[SCB_PrioIndex(IRQn)];
    }
    return ((word >> shift) & (uint32_t)0xFFU) >> (8U - __NVIC_PRIO_BITS);
}

#ifdef __cplusplus
}
#endif

#endif /* CORE_CM0_H */
