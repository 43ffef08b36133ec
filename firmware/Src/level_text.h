/* Levels as text: the exact decimal value of a float, two decimals. */
#ifndef LEVEL_TEXT_H
#define LEVEL_TEXT_H

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

#ifdef __cplusplus
}
#endif

#endif
