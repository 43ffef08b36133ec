/*
 * What the tester and a PC agree on over the serial line, written once for
 * the firmware, snt and the tests. Plain C, so the firmware can include it.
 */
#ifndef PROTOCOL_H
#define PROTOCOL_H

/* The line's rate, bit/s; 8 data bits, no parity, 1 stop bit. */
#define BAUD_RATE 115200u

/* Identification line: the answer to `w`, and the last line of the
   start-up banner. */
#define ID_TEXT "1.3;VORN"

/* Every reply line ends with a single carriage return, never a line feed. */
#define REPLY_END      '\r'
#define REPLY_END_TEXT "\r"

/* Crystal frequencies of the synthesizer, Hz: the window `x` accepts and the
   default used while the settings page holds nothing valid. */
#define XTAL_MIN     24000000u
#define XTAL_MAX     31000000u
#define XTAL_DEFAULT 25000000u

/* The stimulus frequencies a PC may ask for, Hz. */
#define FREQ_MIN 18200u
#define FREQ_MAX 200000000u

/* The level a thru gives on the virtual board: the ADC sees the 1 kHz beat
   at 1500 counts peak and the detector reports the squared magnitude of its
   sum over 128 samples, (128 x 1500)^2. dB are quoted against it. */
#define FULL_SCALE_LEVEL 3.6864e10

#endif
