/* Exception handlers, the serial line receiver and the tone detector. */
#include "stm32f0xx_it.h"

#include "main.h"

volatile int icmd_buf;

/*
 * Lines are collected apart from the one that waits for the main loop and
 * from the one the main loop is copying out, so a line is never read while
 * bytes land in it and only whole lines the host sent ever run. Three
 * buffers are enough: at every carriage return one is neither the newest
 * complete line nor the one being taken.
 */
char              rx_lines[RX_LINES][CMD_BUF_SIZE];
static uint32_t   rx_collect; /* the buffer being filled; the receiver's own */
volatile uint32_t rx_ready;   /* newest complete line: count << 2 | buffer */
volatile uint32_t rx_taking;  /* buffer + 1 that the main loop copies, 0 none */
static uint32_t   rx_taken;   /* the main loop's last rx_ready taken */

volatile uint32_t measure_stage;
volatile int32_t  nstep;
volatile int32_t  last_val;
volatile float    Q0, Q1, Q2;
float             coeff;

/* Detector stages. */
enum {
    STAGE_MIN_SEARCH = 0,
    STAGE_MAX_SEARCH = 1,
    STAGE_ACCUMULATE = 2,
    STAGE_DONE       = 3,
};
/* One period of the tone at 16 kHz: the budget of the crest search. */
#define SEARCH_SAMPLES   16
/* Sixteen periods of the tone: bin 16 of a 256-point transform is 1 kHz. */
#define GOERTZEL_SAMPLES 256
/* Above every sample: the first sample after a restart is the minimum. */
#define LAST_VAL_RESTART 10000

void NMI_Handler(void) {}

void HardFault_Handler(void)
{
    for (;;) {}
}

void SVC_Handler(void) {}

void PendSV_Handler(void) {}

/* Millisecond waits poll the SysTick wrap flag; the tick itself does nothing. */
void SysTick_Handler(void) {}

/*
 * Crest search after a restart: a minimum followed by a maximum within one
 * tone period. Returns 1 when this sample is the first to accumulate, 0
 * when the search goes on, or when the detector has finished.
 */
static int CrestSearch(uint32_t stage, int32_t val)
{
    switch (stage) {
    case STAGE_MIN_SEARCH:
        if (val <= last_val) {
            last_val = val;
        } else {
            measure_stage = STAGE_MAX_SEARCH; /* last_val keeps the minimum */
        }
        nstep = nstep + 1;
        if (nstep >= SEARCH_SAMPLES) {
            /* budget spent: accumulate from the next sample on */
            nstep         = 0;
            measure_stage = STAGE_ACCUMULATE;
        }
        return 0;

    case STAGE_MAX_SEARCH:
        if (val < last_val) {
            /* the crest has passed: this sample is the first accumulated */
            nstep         = 0;
            measure_stage = STAGE_ACCUMULATE;
            return 1;
        }
        last_val = val;
        nstep    = nstep + 1;
        if (nstep < SEARCH_SAMPLES) {
            return 0;
        }
        nstep         = 0;
        measure_stage = STAGE_ACCUMULATE;
        return 1;

    default:
        return 0; /* finished: samples are dropped until the next restart */
    }
}

/*
 * Tone detector, once per conversion (16 kHz). After a restart it looks for
 * a crest of the tone and then runs 256 Goertzel steps. Every operation is
 * single precision, rounded, in this order and grouping, so that every
 * build computes the same bits. The stage word is stored last: ReadData sees
 * the final Q1 and Q2 once it sees stage 3. Accumulating is the common case
 * and goes first; each shared word is read once and written once, since the
 * handler has a sample period to itself and nothing else writes them then.
 */
void ADC1_IRQHandler(void)
{
    if (!LL_ADC_IsActiveFlag_EOC(ADC1)) {
        return;
    }
    const int32_t  val   = (int32_t)(LL_ADC_REG_ReadConversionData32(ADC1) & 0xFFFF);
    const uint32_t stage = measure_stage;
    if (stage != STAGE_ACCUMULATE && !CrestSearch(stage, val)) {
        return;
    }

    const float d   = platform_sample_minus(val, Q2);
    const float q1  = Q1;
    const float q0  = d + q1 * coeff;
    Q0              = q0;
    Q2              = q1;
    Q1              = q0;
    const int32_t n = nstep + 1;
    nstep           = n;
    if (n >= GOERTZEL_SAMPLES) {
        measure_stage = STAGE_DONE;
    }
}

/*
 * The restart values go in while the handler idles in stage 3, where it
 * writes nothing; the store of stage 0 comes last and hands the state over.
 */
float ReadData(void)
{
    nstep         = 0;
    last_val      = LAST_VAL_RESTART;
    Q2            = 0.0f;
    Q1            = 0.0f;
    measure_stage = STAGE_MIN_SEARCH;

    while (measure_stage < STAGE_DONE) {
        platform_wait_hint(&measure_stage);
    }

    /* Q1^2 + Q2^2 - coeff Q1 Q2, factored as Q1 Q1 + Q2 (Q2 - coeff Q1). */
    const float a = Q1 * Q1;
    const float m = coeff * Q1;
    const float s = Q2 - m;
    const float t = s * Q2;
    return t + a;
}

/*
 * Copies the newest complete line into cmd_buf; 0 when there is none the
 * main loop has not taken already. Announcing the buffer in rx_taking and
 * then finding rx_ready unchanged proves that no carriage return came in
 * between, so the receiver will not choose that buffer until the copy ends.
 */
int TakeLine(void)
{
    uint32_t ready;
    for (;;) {
        rx_byte_f = 0;
        ready     = rx_ready;
        if (ready == rx_taken) {
            return 0;
        }
        rx_taking = (ready & 3u) + 1;
        if (rx_ready == ready) {
            break;
        }
    }
    /* The whole buffer: a line may hold zero bytes of its own. */
    const char *line = rx_lines[ready & 3u];
    for (unsigned i = 0; i < CMD_BUF_SIZE; ++i) {
        cmd_buf[i] = line[i];
    }
    rx_taking = 0;
    rx_taken  = ready;
    return 1;
}

/*
 * Line receiver. Each entry handles exactly one condition and returns; a
 * received byte comes first, so an error flag never discards or marks the
 * line being collected. A flag still pending after the entry raises the
 * interrupt again (overrun) or is cleared by a later entry.
 */
void USART1_IRQHandler(void)
{
    if (LL_USART_IsActiveFlag_RXNE(USART1)) {
        int      inbyte = LL_USART_ReceiveData8(USART1);
        unsigned i      = (unsigned)icmd_buf;
        char    *line   = rx_lines[rx_collect];
        if (inbyte == '\r') {
            line[i]             = 0;
            icmd_buf            = 0;
            const uint32_t done = rx_collect;
            rx_ready            = ((rx_ready >> 2) + 1) << 2 | done;
            /* The next line goes where neither this one nor the one being
               taken lies. */
            const uint32_t taking = rx_taking;
            uint32_t       next   = done;
            do {
                next = next + 1 == RX_LINES ? 0 : next + 1;
            } while (next + 1 == taking);
            rx_collect = next;
            rx_byte_f  = 1; /* stored last: the line is complete before the flag says so */
            return;
        }
        if (i <= CMD_BUF_SIZE - 2) {
            line[i]  = (char)inbyte;
            icmd_buf = (int)(i + 1);
        }
        /* else: 49 bytes stored; the rest of an overlong line is dropped */
        return;
    }
    if (LL_USART_IsActiveFlag_ORE(USART1)) {
        LL_USART_ClearFlag_ORE(USART1);
        return;
    }
    if (LL_USART_IsActiveFlag_IDLE(USART1)) {
        LL_USART_ClearFlag_IDLE(USART1);
        return;
    }
    if (LL_USART_IsActiveFlag_NE(USART1)) {
        LL_USART_ClearFlag_NE(USART1);
        return;
    }
    if (LL_USART_IsActiveFlag_CM(USART1)) {
        LL_USART_ClearFlag_CM(USART1);
        return;
    }
    if (LL_USART_IsActiveFlag_FE(USART1)) {
        LL_USART_ClearFlag_FE(USART1);
        return;
    }
}
