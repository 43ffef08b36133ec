/*
 * Single precision arithmetic for the Cortex-M0 (ARMv6-M, Thumb-1, no FPU):
 * the run-time helpers the compiler calls for plain `float` expressions.
 *
 *   __aeabi_fadd, __aeabi_fsub   a + b, a - b
 *   __aeabi_fmul                 a * b
 *   __aeabi_i2f, __aeabi_ui2f    int and unsigned to float
 *
 * IEEE 754 binary32, round to nearest with ties to even, subnormal inputs
 * and outputs, signed zeros, infinities. A NaN operand gives a quiet NaN
 * (the operand with its quiet bit set); an invalid operation (inf - inf,
 * 0 * inf) gives the default NaN 0x7FC00000.
 *
 * Each routine starts with fast paths for normal operands and a normal
 * result that stay in r0-r3 and r12; everything else (subnormals, huge or
 * tiny results, infinities and NaNs) goes to a general path that unpacks
 * into a 32-bit mantissa, an exponent and a sticky word and ends in
 * round_pack. Cycle counts in the comments are the Cortex-M0's (ALU 1,
 * load 2, taken branch 3, BX 3).
 *
 * AAPCS: arguments and result in r0/r1; r0-r3, r12 and the flags are
 * clobbered; the general paths save what else they use.
 */
        .syntax unified
        .cpu    cortex-m0
        .thumb

        .section .text.snt_soft_float, "ax", %progbits

/* Q = (Ma * Mb) >> 16 for 24-bit mantissas Ma (\a) and Mb (\b) with bit 23
   set, from three 32-bit products (Ma*Bh, Ah*Bl, Al*Bl; h = bits 23..16,
   l = bits 15..0). Leaves Q in \a with the N flag from its bit 31, and the
   16 bits below Q, shifted to the top, in \t2. 11 cycles. */
.macro MUL24 a, b, t1, t2
        lsrs    \t1, \b, #16            @ Bh
        muls    \t1, \a                 @ Ma * Bh
        uxth    \t2, \b                 @ Bl
        lsrs    \b, \a, #16             @ Ah
        muls    \b, \t2                 @ Ah * Bl
        adds    \t1, \t1, \b
        uxth    \a, \a                  @ Al
        muls    \t2, \a                 @ Al * Bl
        lsrs    \a, \t2, #16
        lsls    \t2, \t2, #16
        adds    \a, \a, \t1             @ Q
.endm

/* ------------------------------------------------------------------ fmul */

        .global __aeabi_fmul
        .type   __aeabi_fmul, %function
        .thumb_func
__aeabi_fmul:
        /* Fast path: exponents ea, eb in 1..254 and ea + eb - 127 in 1..253,
           so that the result's exponent before rounding is normal whether
           the product of the mantissas is below 2 or not. */
        lsls    r2, r0, #1
        lsrs    r2, r2, #24             @ ea
        beq     .Lfmul_a_low
        lsls    r3, r1, #1
        lsrs    r3, r3, #24             @ eb
        beq     .Lfmul_b_low
        cmp     r2, #255
        beq     .Lfmul_general
        cmp     r3, #255
        beq     .Lfmul_general
        adds    r2, r2, r3
        subs    r2, #128
        cmp     r2, #252
        bhi     .Lfmul_general
        /* a - (sign | (ea - 1) << 23) is a's mantissa with its leading one;
           the two subtrahends add up to the result's sign and exponent
           (the sign bits add in bit 31). */
        lsrs    r2, r0, #23
        subs    r2, #1
        lsls    r2, r2, #23
        subs    r0, r0, r2              @ Ma
        lsrs    r3, r1, #23
        subs    r3, #1
        lsls    r3, r3, #23
        subs    r1, r1, r3              @ Mb
        adds    r2, r2, r3
        movs    r3, #125
        lsls    r3, r3, #23
        subs    r2, r2, r3              @ sign | (ea + eb - 127) << 23
        mov     r12, r2
        MUL24   r0, r1, r2, r3
        mov     r2, r12
        bpl     .Lfmul_low
        /* Q in [2^31, 2^32): mantissa Q >> 8 (its leading one carries the
           exponent up by one), round bit 7, sticky bits 6..0 and r3 */
        lsls    r1, r0, #25
        orrs    r1, r3
        beq     .Lfmul_top_even
        lsrs    r0, r0, #8              @ C = round bit
        adcs    r0, r2
        bx      lr
.Lfmul_top_even:                        @ exact, or exactly half way
        lsrs    r0, r0, #8
        bcs     .Lfmul_tie
        add     r0, r2
        bx      lr
.Lfmul_tie:
        adcs    r0, r2
        lsrs    r0, r0, #1              @ half way: to even
        lsls    r0, r0, #1
        bx      lr
.Lfmul_low:
        /* Q in [2^30, 2^31): one exponent less; fraction bits 29..7 (the
           leading one left out), round bit 6, sticky bits 5..0 and r3 */
        lsls    r1, r0, #26
        orrs    r1, r3
        beq     .Lfmul_low_even
        lsls    r0, r0, #2
        lsrs    r0, r0, #9              @ C = bit 6
        adcs    r0, r2
        bx      lr
.Lfmul_low_even:
        lsls    r0, r0, #2
        lsrs    r0, r0, #9
        bcs     .Lfmul_tie
        add     r0, r2
        bx      lr

.Lfmul_a_low:                           @ ea = 0
        lsls    r2, r0, #1
        bne     .Lfmul_general          @ subnormal
        lsls    r2, r1, #1
        b       .Lfmul_zero
.Lfmul_b_low:                           @ eb = 0, a not zero
        lsls    r3, r1, #1
        bne     .Lfmul_general
        lsls    r2, r0, #1
.Lfmul_zero:                            @ one operand is zero; r2: the other << 1
        lsrs    r2, r2, #24
        cmp     r2, #255
        beq     .Lfmul_general          @ zero times infinity or NaN
        eors    r0, r1
        lsrs    r0, r0, #31
        lsls    r0, r0, #31
        bx      lr

.Lfmul_general:
        push    {r4, r5, r6, lr}
        movs    r4, r0
        eors    r4, r1
        lsrs    r4, r4, #31
        lsls    r4, r4, #31             @ sign of the result
        lsls    r2, r0, #1
        lsls    r3, r1, #1
        movs    r5, #255
        lsls    r5, r5, #24             @ infinity << 1
        cmp     r2, r5
        bhi     .Lfm_nan_a
        cmp     r3, r5
        bhi     .Lfm_nan_b
        beq     .Lfm_inf_b
        cmp     r2, r5
        beq     .Lfm_inf_a
        cmp     r2, #0
        beq     .Lfm_zero
        cmp     r3, #0
        beq     .Lfm_zero
        movs    r5, r1
        bl      .Lunpack                @ a: r0 = Wa, r2 = ea
        movs    r6, r2
        movs    r1, r0
        movs    r0, r5
        movs    r5, r1
        bl      .Lunpack                @ b: r0 = Wb, r2 = eb
        adds    r6, r6, r2
        lsrs    r1, r0, #8              @ Mb
        lsrs    r0, r5, #8              @ Ma
        MUL24   r0, r1, r2, r3
        bmi     .Lfm_top
        lsls    r0, r0, #1
        subs    r6, #1
.Lfm_top:
        subs    r6, #126                @ ea + eb - 126: the product's exponent
        movs    r1, r4
        movs    r2, r6
        bl      .Lround_pack
        pop     {r4, r5, r6, pc}
.Lfm_nan_b:
        movs    r0, r1
.Lfm_nan_a:
        bl      .Lquiet
        pop     {r4, r5, r6, pc}
.Lfm_inf_b:                             @ a finite, b infinite
        cmp     r2, #0
        bne     .Lfm_inf
.Lfm_invalid:
        ldr     r0, =0x7FC00000
        pop     {r4, r5, r6, pc}
.Lfm_inf_a:                             @ a infinite, b finite
        cmp     r3, #0
        beq     .Lfm_invalid
.Lfm_inf:
        lsrs    r0, r5, #1
        orrs    r0, r4
        pop     {r4, r5, r6, pc}
.Lfm_zero:
        movs    r0, r4
        pop     {r4, r5, r6, pc}

/* ------------------------------------------------------- shared helpers */

/* r0: a NaN. Returns it with the quiet bit set. */
.Lquiet:
        movs    r1, #1
        lsls    r1, r1, #22
        orrs    r0, r1
        bx      lr

/* r0: a finite, non-zero float. Returns r0 = its mantissa with the leading
   one at bit 31, r2 = its biased exponent (below 1 for subnormals): the
   value is (r0 / 2^31) * 2^(r2 - 127). Clobbers r3. */
.Lunpack:
        lsls    r2, r0, #1
        lsrs    r2, r2, #24
        lsls    r0, r0, #8
        cmp     r2, #0
        beq     .Lunpack_subnormal
        movs    r3, #1
        lsls    r3, r3, #31
        orrs    r0, r3
        bx      lr
.Lunpack_subnormal:
        movs    r2, #1
        /* fall through */

/* r0 != 0: shifts r0 left until bit 31 is set, subtracting the shift from
   r2. Clobbers r3. */
.Lnormalize:
        lsrs    r3, r0, #16
        bne     1f
        lsls    r0, r0, #16
        subs    r2, #16
1:      lsrs    r3, r0, #24
        bne     2f
        lsls    r0, r0, #8
        subs    r2, #8
2:      lsrs    r3, r0, #28
        bne     3f
        lsls    r0, r0, #4
        subs    r2, #4
3:      lsrs    r3, r0, #30
        bne     4f
        lsls    r0, r0, #2
        subs    r2, #2
4:      lsrs    r3, r0, #31
        bne     5f
        lsls    r0, r0, #1
        subs    r2, #1
5:      bx      lr

/* Rounds and packs. r0: mantissa with its leading one at bit 31, r1: sign
   (bit 31 only), r2: biased exponent E (any int), r3: non-zero when some
   non-zero bits lie below r0. The value is (r0 / 2^31) * 2^(E - 127).
   Clobbers r1-r3 and r12. */
.Lround_pack:
        cmp     r2, #254
        bgt     .Lrp_inf
        cmp     r2, #0
        ble     .Lrp_subnormal
        subs    r2, #1
        lsls    r2, r2, #23
        orrs    r1, r2
.Lrp_round:                             @ r1: sign and exponent field
        lsls    r2, r0, #24             @ bits 7..0
        lsrs    r0, r0, #8              @ C = round bit
        adcs    r0, r1
        lsls    r2, r2, #1              @ C = round bit, r2 = bits 6..0
        bcc     1f
        orrs    r2, r3
        bne     1f
        lsrs    r0, r0, #1              @ exactly half way: to even
        lsls    r0, r0, #1
1:      bx      lr
.Lrp_inf:
        movs    r0, #255
        lsls    r0, r0, #23
        orrs    r0, r1
        bx      lr
.Lrp_subnormal:
        /* shift right by 1 - E (at least 1) into the subnormal range */
        negs    r2, r2
        adds    r2, #1
        cmp     r2, #31
        bls     1f
        movs    r2, #31
1:      mov     r12, r1
        movs    r1, r0
        lsrs    r0, r2
        lsls    r0, r2
        subs    r1, r1, r0              @ the bits shifted out
        orrs    r3, r1
        lsrs    r0, r2
        mov     r1, r12
        b       .Lrp_round

/* ------------------------------------------------------------ fadd, fsub */

/* For a distance d (r3) of 9..25: r1 = U = Mb >> d with bit 0 set when a
   non-zero bit was shifted out, so that the rounding sees the true sum on
   the same side of every rounding boundary; r2 = 2^31. Keeps r0. The bit
   is ((Mb - 1) >> d) - (Mb >> d) + 1: 1 exactly when Mb's low d bits are
   not all zero. 12 cycles. */
.macro FAR_U
        movs    r2, #1
        lsls    r2, r2, #31
        lsls    r1, r1, #8
        orrs    r1, r2                  @ Mb
        mov     r12, r0
        subs    r0, r1, #1
        lsrs    r0, r3
        lsrs    r1, r3                  @ U
        subs    r0, r0, r1
        adds    r0, #1
        orrs    r1, r0
        mov     r0, r12
.endm

/* r0: sign | exponent (a >> 23), r3: the exact difference D with its
   leading one at bit 23 - r2, \k: the exponent's offset. Packs the exact
   result. */
.macro CANCEL_PACK k
        lsls    r3, r2
        subs    r0, r0, r2
        subs    r0, #\k
        lsls    r0, r0, #23
        adds    r0, r0, r3
        bx      lr
.endm

.Lfa_quiet:
        movs    r1, #1
        lsls    r1, r1, #22
        orrs    r0, r1
        bx      lr
.Lfa_b_low:                             @ eb = 0: b is zero or subnormal
        lsls    r3, r1, #1
        bne     .Lfa_b_subnormal
        cmp     r2, #0
        beq     .Lfa_both_zero
        lsrs    r2, r2, #24
        cmp     r2, #255
        bne     .Lfa_ret
        lsls    r2, r0, #9
        beq     .Lfa_ret              @ infinity
        b       .Lfa_quiet
.Lfa_ret:
        bx      lr
.Lfa_both_zero:
        ands    r0, r1                  @ -0 only when both are -0
        bx      lr
.Lfa_b_subnormal:
        lsrs    r2, r2, #24
        cmp     r2, #255
        bne     .Lfa_to_general
.Lfa_a_high:                            @ ea >= 254
        cmp     r2, #255
        bne     .Lfa_to_general
        lsls    r2, r0, #9
        bne     .Lfa_quiet              @ a is NaN
        /* a infinite: b infinite of the other sign gives NaN */
        lsls    r3, r1, #1
        lsls    r2, r0, #1
        cmp     r2, r3
        bne     .Lfa_ret
        movs    r2, r0
        eors    r2, r1
        bpl     .Lfa_ret
        ldr     r0, =0x7FC00000
        bx      lr
.Lfa_to_general:
        b       .Lfa_general

        /* 2 <= d <= 8: at most one bit of cancellation */
.Lfa_sub_apart:
        eors    r1, r0                  @ b
        movs    r2, #1
        lsls    r2, r2, #31             @ K = 2^31
        lsls    r1, r1, #8
        orrs    r1, r2                  @ Mb: b's mantissa at bits 31..8
        lsrs    r1, r1, r3              @ U = Mb >> d, exact for d <= 8
.Lfa_sub_u:
        lsls    r3, r0, #8
        orrs    r3, r2                  @ Ma
        subs    r3, r3, r1              @ S = Ma - U
        bpl     .Lfa_borrow
        /* S >= 2^31: exponent ea; R = a + ((-U) asr 8) rounded, round
           bit 7 of -U, sticky bits 6..0 */
        negs    r1, r1
        lsls    r3, r1, #24
        asrs    r1, r1, #8
        adcs    r0, r1
        cmp     r3, r2
        beq     .Lfa_sub_tie
        bx      lr
.Lfa_borrow:
        /* S in [2^30, 2^31): exponent ea - 1, round bit 6, sticky 5..0 */
        lsls    r1, r3, #25
        eors    r3, r2                  @ S - 2^31
        lsrs    r0, r0, #23
        lsls    r0, r0, #23             @ sign | ea << 23
        asrs    r3, r3, #7              @ C = bit 6
        adcs    r0, r3
        cmp     r1, r2
        beq     .Lfa_sub_tie
        bx      lr
.Lfa_sub_tie:
        lsrs    r0, r0, #1
        lsls    r0, r0, #1
        bx      lr

        /* 9 <= d <= 25 */
.Lfa_sub_far:
        cmp     r3, #25
        bhi     .Lfa_apart_ret
        eors    r1, r0                  @ b
        FAR_U
        lsls    r3, r0, #8
        orrs    r3, r2                  @ Ma
        subs    r3, r3, r1              @ S = Ma - U
        bpl     .Lfa_borrow
        negs    r1, r1
        lsls    r3, r1, #24
        asrs    r1, r1, #8
        adcs    r0, r1
        cmp     r3, r2
        beq     .Lfa_sub_tie
.Lfa_apart_ret:
        bx      lr

        .global __aeabi_fsub
        .type   __aeabi_fsub, %function
        .thumb_func
__aeabi_fsub:
        movs    r2, #1
        lsls    r2, r2, #31
        eors    r1, r2
        /* fall through */

        .global __aeabi_fadd
        .type   __aeabi_fadd, %function
        .thumb_func
__aeabi_fadd:
        lsls    r2, r0, #1
        lsls    r3, r1, #1
        cmp     r2, r3
        bhs     .Lfa_ordered
        eors    r0, r1                  @ swap: a becomes the larger magnitude
        eors    r1, r0
        eors    r0, r1
        lsls    r2, r0, #1
        lsls    r3, r1, #1
.Lfa_ordered:                           @ |a| >= |b|
        lsrs    r3, r3, #24             @ eb
        beq     .Lfa_b_low
        lsrs    r2, r2, #24             @ ea
        cmp     r2, #254
        bhs     .Lfa_a_high
        subs    r3, r2, r3              @ d = ea - eb
        eors    r1, r0                  @ a ^ b: N when the magnitudes subtract
        bpl     .Lfa_add
        cmp     r3, #8
        bhi     .Lfa_sub_far
        cmp     r3, #1
        bhi     .Lfa_sub_apart
        beq     .Lfa_cancel1

        /* d = 0: the difference of the fractions is the exact result,
           D * 2^(ea - 150) */
        cmp     r2, #24
        bls     .Lfa_c0_general         @ the result may be subnormal
        eors    r1, r0                  @ b
        subs    r3, r0, r1
        lsls    r3, r3, #9
        lsrs    r3, r3, #9              @ D = fa - fb
        beq     .Lfa_zero
        lsrs    r0, r0, #23             @ sign | ea
        adr     r1, .Lclz7
        lsrs    r2, r3, #8
        beq     .Lfa_c0_low
        lsrs    r2, r3, #16
        bne     .Lfa_c0_top
        lsrs    r2, r3, #9
        ldrb    r2, [r1, r2]
        adds    r2, #7                  @ D in [2^8, 2^16): shift to bit 23
        CANCEL_PACK 1
.Lfa_c0_top:                            @ D >= 2^16
        ldrb    r2, [r1, r2]
        CANCEL_PACK 1
.Lfa_c0_low:                            @ D < 2^8
        lsrs    r2, r3, #1
        ldrb    r2, [r1, r2]
        adds    r2, #15
        CANCEL_PACK 1
.Lfa_zero:
        movs    r0, #0                  @ x - x is +0
        bx      lr
.Lfa_c0_general:
        b       .Lfa_sub_general

        /* same signs: the magnitudes add */
.Lfa_add:
        eors    r1, r0                  @ b
        cmp     r3, #8
        bhi     .Lfa_add_far
        movs    r2, #1
        lsls    r2, r2, #31
        lsls    r1, r1, #8
        orrs    r1, r2                  @ Mb
        lsrs    r1, r1, r3              @ U
.Lfa_add_u:
        lsls    r3, r0, #8
        orrs    r3, r2                  @ Ma
        adds    r3, r3, r1              @ S = Ma + U, C: one bit more
        bcs     .Lfa_carry
        /* R = a + (U >> 8) rounded: round bit 7 of U, sticky bits 6..0 */
        lsls    r3, r1, #24
        lsrs    r1, r1, #8
        adcs    r0, r1
        cmp     r3, r2
        beq     .Lfa_tie
        bx      lr
.Lfa_carry:
        /* sum in [2, 4): exponent ea + 1, fraction S >> 9, round bit 8 */
        lsls    r1, r3, #23
        lsrs    r0, r0, #23
        adds    r0, #1
        lsls    r0, r0, #23
        lsrs    r3, r3, #9
        adcs    r0, r3
        cmp     r1, r2
        beq     .Lfa_tie
        bx      lr
.Lfa_tie:
        lsrs    r0, r0, #1              @ exactly half way, rounded up: to even
        lsls    r0, r0, #1
.Lfa_ret_a:
        bx      lr
.Lfa_add_far:                           @ 9 <= d <= 25
        cmp     r3, #25
        bhi     .Lfa_ret_a
        FAR_U
        lsls    r3, r0, #8
        orrs    r3, r2                  @ Ma
        adds    r3, r3, r1              @ S
        bcs     .Lfa_carry
        lsls    r3, r1, #24
        lsrs    r1, r1, #8
        adcs    r0, r1
        cmp     r3, r2
        beq     .Lfa_tie
        bx      lr

.Lfa_cancel1:
        /* d = 1: D' = 2|a| - |b| - ea << 23 = 2^23 + 2 fa - fb is exact,
           the result D' * 2^(ea - 151) */
        cmp     r2, #24
        bls     .Lfa_c1_general
        eors    r1, r0                  @ b
        lsls    r3, r0, #1
        lsls    r1, r1, #1
        lsrs    r1, r1, #1
        subs    r3, r3, r1
        lsls    r2, r2, #23
        subs    r3, r3, r2              @ D'
        lsrs    r2, r3, #24
        bne     .Lfa_c1_wide
        lsrs    r0, r0, #23             @ sign | ea
        adr     r1, .Lclz7
        lsrs    r2, r3, #8
        beq     .Lfa_c1_low
        lsrs    r2, r3, #16
        bne     .Lfa_c1_top
        lsrs    r2, r3, #9
        ldrb    r2, [r1, r2]
        adds    r2, #7
        CANCEL_PACK 2
.Lfa_c1_top:                            @ D' >= 2^16
        lsrs    r2, r3, #17
        ldrb    r2, [r1, r2]
        subs    r2, #1
        CANCEL_PACK 2
.Lfa_c1_low:
        lsrs    r2, r3, #1
        ldrb    r2, [r1, r2]
        adds    r2, #15
        CANCEL_PACK 2
.Lfa_c1_wide:
        /* D' in [2^24, 2^25): exponent ea, fraction bits 23..1 of D',
           round bit 0 with nothing below: a tie whenever it is set */
        lsrs    r0, r0, #23
        lsls    r0, r0, #23
        lsls    r3, r3, #8
        lsrs    r3, r3, #9
        bcs     1f
        adds    r0, r0, r3
        bx      lr
1:      adcs    r0, r3                  @ a tie, rounded up: to even
        b       .Lfa_tie
.Lfa_c1_general:
        b       .Lfa_sub_general

.Lfa_sub_general:
        eors    r1, r0                  @ b
.Lfa_general:
        /* finite a, b with |a| >= |b| > 0 */
        push    {r4, r5, r6, r7, lr}
        movs    r7, r0
        eors    r7, r1                  @ bit 31: the magnitudes subtract
        lsrs    r6, r0, #31
        lsls    r6, r6, #31             @ sign of the result
        movs    r5, r1
        bl      .Lunpack                @ a: r0 = Wa, r2 = ea
        movs    r4, r2
        movs    r1, r0
        movs    r0, r5
        movs    r5, r1
        bl      .Lunpack                @ b: r0 = Wb, r2 = eb
        lsrs    r1, r0, #1              @ room for a carry
        lsrs    r0, r5, #1
        subs    r3, r4, r2              @ d
        cmp     r3, #31
        bls     1f
        movs    r3, #31
1:      movs    r5, r1
        lsrs    r1, r3                  @ U
        movs    r2, r1
        lsls    r2, r3
        subs    r5, r5, r2              @ the bits shifted out
        negs    r5, r5
        sbcs    r5, r5
        lsrs    r5, r5, #31
        orrs    r1, r5                  @ sticky in bit 0
        cmp     r7, #0
        bmi     2f
        adds    r0, r0, r1
        b       3f
2:      subs    r0, r0, r1
        beq     4f                      @ exact zero: +0
3:      adds    r2, r4, #1
        bl      .Lnormalize
        movs    r1, r6
        movs    r3, #0
        bl      .Lround_pack
4:      pop     {r4, r5, r6, r7, pc}

/* ------------------------------------------------------------- i2f, ui2f */

        .global __aeabi_i2f
        .type   __aeabi_i2f, %function
        .thumb_func
__aeabi_i2f:
        lsrs    r1, r0, #12
        bne     .Li2f_wide              @ negative, or 4096 and above
        lsrs    r1, r0, #5
        beq     .Li2f_tiny
        adr     r2, .Lclz7
        ldrb    r1, [r2, r1]
        adds    r1, #11                 @ shift that puts the leading one at bit 23
        lsls    r0, r0, r1
        movs    r2, #149
        subs    r2, r2, r1              @ biased exponent - 1
        lsls    r2, r2, #23
        adds    r0, r0, r2
        bx      lr
.Li2f_tiny:                             @ 0..31
        cmp     r0, #0
        beq     1f
        adr     r2, .Lclz7
        ldrb    r1, [r2, r0]
        adds    r1, #16
        lsls    r0, r0, r1
        movs    r2, #149
        subs    r2, r2, r1
        lsls    r2, r2, #23
        adds    r0, r0, r2
1:      bx      lr
.Li2f_wide:
        asrs    r1, r0, #31
        eors    r0, r1
        subs    r0, r0, r1              @ |x|
        lsls    r1, r1, #31             @ sign
        b       .Lu2f

        .global __aeabi_ui2f
        .type   __aeabi_ui2f, %function
        .thumb_func
__aeabi_ui2f:
        movs    r1, #0
        cmp     r0, #0
        beq     1f
.Lu2f:
        push    {r4, lr}
        movs    r4, r1
        movs    r2, #158
        bl      .Lnormalize
        movs    r1, r4
        movs    r3, #0
        bl      .Lround_pack
        pop     {r4, pc}
1:      bx      lr

/* platform_sample_minus(sample, x): (float)sample - x. A sample of the ADC
   (0..4095, 32 and up in practice) is converted in line, exactly, and the
   subtraction follows; anything else takes the two routines. */
        .global platform_sample_minus
        .type   platform_sample_minus, %function
        .thumb_func
platform_sample_minus:
        lsrs    r2, r0, #5
        beq     .Lsm_tiny               @ 0..31
        lsrs    r3, r2, #7
        bne     .Lsm_other              @ negative, or 4096 and above
        adr     r3, .Lclz7
        ldrb    r2, [r3, r2]
        adds    r2, #11                 @ shift that puts the leading one at bit 23
        lsls    r0, r0, r2
        movs    r3, #149
        subs    r3, r3, r2              @ biased exponent - 1
        lsls    r3, r3, #23
        adds    r0, r0, r3
        b       __aeabi_fsub
.Lsm_tiny:
        cmp     r0, #0
        beq     .Lsm_zero
        adr     r3, .Lclz7
        ldrb    r2, [r3, r0]
        adds    r2, #16
        lsls    r0, r0, r2
        movs    r3, #149
        subs    r3, r3, r2
        lsls    r3, r3, #23
        adds    r0, r0, r3
.Lsm_zero:                              @ +0.0 as it stands
        b       __aeabi_fsub
.Lsm_other:
        push    {r1, lr}
        bl      __aeabi_i2f
        pop     {r1, r2}
        mov     lr, r2
        b       __aeabi_fsub

        .ltorg
        .align  2
/* Leading zeros of a byte, for the values 0..127. */
.Lclz7:
        .byte   8, 7, 6, 6, 5, 5, 5, 5, 4, 4, 4, 4, 4, 4, 4, 4
        .byte   3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3
        .byte   2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2
        .byte   2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2
        .byte   1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1
        .byte   1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1
        .byte   1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1
        .byte   1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1
