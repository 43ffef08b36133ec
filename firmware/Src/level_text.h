/* Levels as text: the exact decimal value of a float, two decimals. */
#ifndef LEVEL_TEXT_H
#define LEVEL_TEXT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest text of format_level, sign and terminator included. */
#define LEVEL_TEXT_MAX 44

/* Writes `level` as the C library's "%.2f" of the same value would print it:
   the exact binary value rounded to two decimals, ties to even, every integer
   digit of large values, "-" whenever the sign bit is set ("-0.00"), and
   "inf", "-inf", "nan", "-nan" for the non-finite ones. `buf` takes
   LEVEL_TEXT_MAX chars; returns the length without the terminator. */
int format_level(char *buf, float level);

/* Longest text of format_unsigned, terminator included. */
#define UNSIGNED_TEXT_MAX 11

/* Writes `value` in decimal without leading zeros, as "%u" prints it; `buf`
   takes UNSIGNED_TEXT_MAX chars. Returns the length without the terminator. */
int format_unsigned(char *buf, uint32_t value);

#ifdef __cplusplus
}
#endif

#endif
