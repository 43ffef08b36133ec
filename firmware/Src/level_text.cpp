/* Levels as text: the exact decimal value of a float, two decimals.

   Integer arithmetic only. A finite float is m * 2^e with m < 2^24, so its
   value in hundredths, m * 100 * 2^e, is below 2^31 * 2^104 = 2^135: five
   32-bit words hold it exactly. For e < 0 the hundredths are a quotient of
   one word by a power of two, rounded half to even on the remainder; from
   2^-32 down, m * 100 < 2^31 is less than half a hundredth, so 0. */
#include "level_text.h"

#include <stdint.h>
#include <string.h>

/* x / 10000 for any 32-bit x, as a multiplication: the core has no divider. */
static uint32_t div10000(uint32_t x) { return (uint32_t)(((uint64_t)x * 0xD1B71759u) >> 45); }

int format_level(char *buf, float level)
{
    uint32_t bits;
    memcpy(&bits, &level, sizeof bits);

    char *out = buf;
    if (bits >> 31) *out++ = '-';

    uint32_t exp = (bits >> 23) & 0xFF;
    uint32_t m   = bits & 0x7FFFFF;
    if (exp == 0xFF) {
        memcpy(out, m ? "nan" : "inf", 4);
        return (int)(out - buf) + 3;
    }
    /* value = m * 2^(exp - 150). Subnormals would take exp 1, but they and
       the smallest normals are far below half a hundredth anyway. */
    if (exp) m |= 0x800000;

    uint32_t n[5] = {0, 0, 0, 0, 0}; /* hundredths, least significant first */
    uint32_t x    = m * 100;
    int      top  = 0; /* highest word that may be non-zero */
    if (exp >= 150) {
        uint32_t sh = exp - 150;
        uint64_t v  = (uint64_t)x << (sh & 31);
        top         = (int)(sh >> 5);
        n[top]      = (uint32_t)v;
        n[top + 1]  = (uint32_t)(v >> 32);
        top++;
    } else {
        uint32_t k = 150 - exp;
        if (k < 32) {
            uint32_t q    = x >> k;
            uint32_t r    = x - (q << k);
            uint32_t half = 1u << (k - 1);
            if (r > half || (r == half && (q & 1))) q++;
            n[0] = q;
        }
    }

    /* Four digits at a time from the last one up: divide by 10000 a half
       word at a time, so partial dividends stay below 10000 * 2^16, then
       split the remainder (x * 0xCCCD >> 19 is x / 10 for x < 81920). At
       most 41 digits, so 11 rounds. */
    char  digits[44];
    char *end = digits + sizeof digits;
    char *d   = end;
    do {
        uint32_t rem = 0;
        for (int i = top; i >= 0; i--) {
            uint32_t hi  = (rem << 16) | (n[i] >> 16);
            uint32_t qhi = div10000(hi);
            uint32_t lo  = ((hi - qhi * 10000) << 16) | (n[i] & 0xFFFF);
            uint32_t qlo = div10000(lo);
            n[i]         = (qhi << 16) | qlo;
            rem          = lo - qlo * 10000;
        }
        for (int i = 0; i < 4; i++) {
            uint32_t q = (rem * 0xCCCD) >> 19;
            *--d       = (char)('0' + rem - q * 10);
            rem        = q;
        }
        while (top > 0 && n[top] == 0) top--;
    } while (n[0] | (uint32_t)top);

    /* No leading zeros, but at least "0.xx". */
    while (*d == '0' && end - d > 3) d++;
    int whole = (int)(end - d) - 2;
    memcpy(out, d, (size_t)whole);
    out += whole;
    *out++ = '.';
    out[0] = end[-2];
    out[1] = end[-1];
    out[2] = 0;
    return (int)(out - buf) + 2;
}

int format_unsigned(char *buf, uint32_t value)
{
    char digits[10];
    int  n = 0;
    do {
        digits[n++] = (char)('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    for (int i = 0; i < n; i++) buf[i] = digits[n - 1 - i];
    buf[n] = 0;
    return n;
}
