; Arithmetic library image: code 0xE95C-0xEEF1.
;
; Registers: a 32-bit value in R4 (most significant byte) to R7, the second operand in R0 (most
; significant) to R3; a 16-bit value in R6:R7, the second in R4:R5. Floats are IEEE 754 single
; precision in the same registers. Results replace the first operand. Every routine keeps the
; register bank (PSW bits 4..3); other PSW flags may change.
;
; Entry             operation                               also changes
; MATH_MUL16        R6:R7 := low 16 bits of R6:R7 * R4:R5    A, B
; MATH_DIVU16       R6:R7 := R6:R7 / R4:R5, R4:R5 := rest    A, B, R1-R3
; MATH_MUL32        R4..R7 := low 32 bits of R4..R7 * R0..R3 A, B, R0
; MATH_DIVU32       R4..R7 := R4..R7 / R0..R3, R0..R3 := rest A, B
; MATH_NEG32        R4..R7 := -R4..R7                        A
; MATH_SHR32        R4..R7 >>= R0 (logical)                  A, R0 := 0
; MATH_SAR32        R4..R7 >>= R0 (arithmetic)               A, R0 := 0
; MATH_SHL32        R4..R7 <<= R0                            A, R0 := 0
; MATH_FSUB         R4..R7 := R4..R7 - R0..R3                A, B, DPTR, R0-R3
; MATH_FADD         R4..R7 := R4..R7 + R0..R3                A, B, DPTR, R0-R3
; MATH_FMUL         R4..R7 := R4..R7 * R0..R3                A, B, DPTR, R0-R3
; MATH_FDIV         R4..R7 := R4..R7 / R0..R3                A, B, DPTR, R0-R3
; MATH_FCMP         A := 0 when equal, else A := 1 and the   B
;                   carry set when R4..R7 is the greater
; MATH_I32TOF       signed 32-bit R4..R7 to float            A, B, DPTR
; MATH_I16TOF       signed 16-bit R4:R5 to float             A, B, DPTR
; MATH_I8TOF        signed 8-bit R4 to float                 A, B, DPTR
; MATH_FTOI32       float to signed 32-bit, toward zero      A, R0
;
; Float results are correctly rounded (to nearest, ties to even) for every operand, subnormal
; numbers included; underflow is gradual and overflow gives an infinity.
;   zero       x + (-x) is +0; -0 + -0 is -0; signs of products and quotients follow the rule
;              of signs; +0 and -0 compare equal.
;   infinity   inf + inf is inf; inf - inf is NaN; inf * 0 is NaN; inf * x is inf; inf / inf
;              is NaN; x / inf is 0.
;   division   x / 0 is an infinity with the sign rule for x other than 0 or NaN; 0 / 0 is NaN.
;   NaN        any NaN operand gives the quiet NaN 0x7FC00000; MATH_FCMP answers A = 1 with the
;              carry clear (not equal, not greater) when either operand is a NaN.
;   to integer truncates toward zero; |x| < 1 gives 0; from 2^31 up, infinities and NaN
;              saturate by sign to 0x7FFFFFFF or 0x80000000 (so -2^31 converts exactly).
; Integer division by zero gives an all-ones quotient and the dividend as the remainder.
;
; Layout rule checked by the build: each global label NAME:: opens a block that ends at
; NAME_end::; blocks must not overlap, and the entry points must match the layout table.

	.module	arithmetic
	.area	MATHROM (ABS,CODE)

BIAS		= 127
SIGN		= 0x80
HIDDEN		= 0x80		; mantissa bit 23 in the top mantissa byte
FRACTION_HI	= 0x7F
EXP_SPECIAL	= 0xFF		; biased exponent of infinities and NaN
NAN_HI		= 0x7F		; quiet NaN 0x7FC00000
NAN_NEXT	= 0xC0
CLASS_INF	= 2		; f_class: 0 finite, 1 zero, 2 infinity, 3 NaN
MANTISSA_BITS	= 24
QUOTIENT_BITS	= 32
ALIGN_LIMIT	= 26		; a smaller addend shifted further is only a sticky bit
MUL_ADJUST	= 0x10000 - (BIAS - 1)	; a product of mantissas in [1,2) lies in [1,4)
INT_EXPONENT	= BIAS + 31	; a 32-bit integer with its top bit at bit 31
ONE_EXPONENT	= BIAS
ROUND_BIAS	= 0x7F		; round byte + 0x7F + odd bit carries exactly when rounding up

; ---- 16-bit multiply ------------------------------------------------------------------------

	.org	0xE95C
MATH_MUL16::
	mov	a,r7
	mov	b,r4
	mul	ab
	xch	a,r6
	mov	b,r5
	mul	ab
	add	a,r6
	xch	a,r7
	mov	b,r5
	mul	ab
	xch	a,r7
	add	a,b
	mov	r6,a
	ret
MATH_MUL16_end::

; ---- 16-bit unsigned divide: divisor in R2:R3, remainder built in R4:R5 --------------------

	.org	0xE96E
MATH_DIVU16::
	mov	a,r4
	mov	r2,a
	mov	a,r5
	mov	r3,a
	clr	a
	mov	r4,a
	mov	r5,a
	mov	r1,#16
1$:	mov	a,r7
	add	a,r7
	mov	r7,a
	mov	a,r6
	rlc	a
	mov	r6,a
	mov	a,r5
	rlc	a
	mov	r5,a
	mov	a,r4
	rlc	a
	mov	r4,a
	mov	f0,c			; remainder bit 16
	mov	a,r5
	clr	c
	subb	a,r3
	mov	b,a
	mov	a,r4
	subb	a,r2
	anl	c,/f0			; a borrow without bit 16: the divisor does not go
	jc	2$
	mov	r4,a
	mov	r5,b
	inc	r7
2$:	djnz	r1,1$
	ret
MATH_DIVU16_end::

; Shifts the mantissa R5..R7 left until its bit 23 is set (it must not be zero), taking one
; from the exponent DPH:R4 for each shift.
f_normalize::
	mov	a,r5
	jb	acc.7,2$
	mov	a,r7
	add	a,r7
	mov	r7,a
	mov	a,r6
	rlc	a
	mov	r6,a
	mov	a,r5
	rlc	a
	mov	r5,a
	mov	a,r4
	jnz	1$
	dec	dph
1$:	dec	r4
	sjmp	f_normalize
2$:	ret
f_normalize_end::

; ---- 32-bit multiply: the ten byte products that reach the low 32 bits ---------------------
; a3..a0 = R4..R7, b3..b0 = R0..R3; byte 3 gathers in R4, byte 2 in R0, byte 1 in R5.

	.org	0xE9C3
MATH_MUL32::
	mov	a,r4			; byte 3: low bytes of a3b0, a2b1, a1b2, a0b3
	mov	b,r3
	mul	ab
	mov	r4,a
	mov	a,r5
	mov	b,r2
	mul	ab
	add	a,r4
	mov	r4,a
	mov	a,r6
	mov	b,r1
	mul	ab
	add	a,r4
	mov	r4,a
	mov	a,r7
	mov	b,r0
	mul	ab
	add	a,r4
	mov	r4,a
	mov	a,r5			; byte 2: a2b0, a1b1, a0b2
	mov	b,r3
	mul	ab
	mov	r0,a
	mov	a,b
	add	a,r4
	mov	r4,a
	mov	a,r6
	mov	b,r2
	mul	ab
	add	a,r0
	mov	r0,a
	mov	a,b
	addc	a,r4
	mov	r4,a
	mov	a,r7
	mov	b,r1
	mul	ab
	add	a,r0
	mov	r0,a
	mov	a,b
	addc	a,r4
	mov	r4,a
	mov	a,r6			; byte 1: a1b0, a0b1
	mov	b,r3
	mul	ab
	mov	r5,a
	mov	a,b
	add	a,r0
	mov	r0,a
	clr	a
	addc	a,r4
	mov	r4,a
	mov	a,r7
	mov	b,r2
	mul	ab
	add	a,r5
	mov	r5,a
	mov	a,b
	addc	a,r0
	mov	r0,a
	clr	a
	addc	a,r4
	mov	r4,a
	mov	a,r7			; byte 0: a0b0
	mov	b,r3
	mul	ab
	mov	r7,a
	mov	a,b
	add	a,r5
	mov	r6,a
	clr	a
	addc	a,r0
	mov	r5,a
	clr	a
	addc	a,r4
	mov	r4,a
	ret
MATH_MUL32_end::

; Exchanges R0..R3 with R4..R7 (f_swap) or R1..R3 with R5..R7 (f_swapm). Changes A only.
f_swap::
	mov	a,r0
	xch	a,r4
	mov	r0,a
f_swapm:
	mov	a,r1
	xch	a,r5
	mov	r1,a
	mov	a,r2
	xch	a,r6
	mov	r2,a
	mov	a,r3
	xch	a,r7
	mov	r3,a
	ret
f_swap_end::

; Unpacks both operands: R0..R3 := the first, R4..R7 := the second (f_unpack form).
; F0 := sign of the first; C := sign of the first XOR sign of the second.
f_unpack2::
	acall	f_unpack
	mov	f0,c
	acall	f_swap
	acall	f_unpack
	jnb	f0,1$
	cpl	c
1$:	ret
f_unpack2_end::

; ---- 32-bit unsigned divide -----------------------------------------------------------------
; The divisor goes on the stack (read through R1), the remainder builds in R0:B:R2:R3 and
; the quotient bits shift into R7; the loop count sits on the stack above the divisor.

	.org	0xEA4E
MATH_DIVU32::
	mov	a,r0
	push	acc
	mov	a,r1
	push	acc
	mov	a,r2
	push	acc
	mov	a,r3
	push	acc
	clr	a
	mov	r0,a
	mov	b,a
	mov	r2,a
	mov	r3,a
	mov	a,#32
1$:	push	acc
	mov	a,r7
	add	a,r7
	mov	r7,a
	mov	a,r6
	rlc	a
	mov	r6,a
	mov	a,r5
	rlc	a
	mov	r5,a
	mov	a,r4
	rlc	a
	mov	r4,a
	mov	a,r3
	rlc	a
	mov	r3,a
	mov	a,r2
	rlc	a
	mov	r2,a
	mov	a,b
	rlc	a
	mov	b,a
	mov	a,r0
	rlc	a
	mov	r0,a
	mov	f0,c			; remainder bit 32
	mov	r1,sp
	dec	r1			; divisor byte 0
	mov	a,r3
	clr	c
	subb	a,@r1
	dec	r1
	mov	a,r2
	subb	a,@r1
	dec	r1
	mov	a,b
	subb	a,@r1
	dec	r1
	mov	a,r0
	subb	a,@r1
	anl	c,/f0
	jc	2$
	mov	r1,sp
	dec	r1
	mov	a,r3
	clr	c
	subb	a,@r1
	mov	r3,a
	dec	r1
	mov	a,r2
	subb	a,@r1
	mov	r2,a
	dec	r1
	mov	a,b
	subb	a,@r1
	mov	b,a
	dec	r1
	mov	a,r0
	subb	a,@r1
	mov	r0,a
	inc	r7
2$:	pop	acc
	djnz	acc,1$
	mov	a,sp			; drop the divisor
	add	a,#-4
	mov	sp,a
	mov	r1,b
	ret
MATH_DIVU32_end::

; Unpacks the float in R4..R7: C := sign, A = R4 := biased exponent (1 for zero and the
; subnormal numbers), R5 bit 7 := the hidden bit; R6, R7 unchanged.
f_unpack::
	mov	a,r5
	rlc	a
	mov	a,r4
	rlc	a
	mov	r4,a
	mov	a,r5
	orl	a,#HIDDEN
	xch	a,r4
	jnz	1$
	inc	a
	xch	a,r4
	anl	a,#FRACTION_HI
	xch	a,r4
1$:	xch	a,r4
	mov	r5,a
	mov	a,r4
	ret
f_unpack_end::

; ---- 32-bit negate and shifts ---------------------------------------------------------------

	.org	0xEAE0
MATH_NEG32::
	clr	c
	clr	a
	subb	a,r7
	mov	r7,a
	clr	a
	subb	a,r6
	mov	r6,a
	clr	a
	subb	a,r5
	mov	r5,a
	clr	a
	subb	a,r4
	mov	r4,a
	ret
MATH_NEG32_end::

	.org	0xEAEE
MATH_SHR32::
	mov	a,r0
	jz	2$
1$:	clr	c
	mov	a,r4
	rrc	a
	mov	r4,a
	mov	a,r5
	rrc	a
	mov	r5,a
	mov	a,r6
	rrc	a
	mov	r6,a
	mov	a,r7
	rrc	a
	mov	r7,a
	djnz	r0,1$
2$:	ret
MATH_SHR32_end::

	.org	0xEB01
MATH_SAR32::
	mov	a,r0
	jz	2$
1$:	mov	a,r4
	mov	c,acc.7
	rrc	a
	mov	r4,a
	mov	a,r5
	rrc	a
	mov	r5,a
	mov	a,r6
	rrc	a
	mov	r6,a
	mov	a,r7
	rrc	a
	mov	r7,a
	djnz	r0,1$
2$:	ret
MATH_SAR32_end::

	.org	0xEB15
MATH_SHL32::
	mov	a,r0
	jz	2$
1$:	mov	a,r7
	add	a,r7
	mov	r7,a
	mov	a,r6
	rlc	a
	mov	r6,a
	mov	a,r5
	rlc	a
	mov	r5,a
	mov	a,r4
	rlc	a
	mov	r4,a
	djnz	r0,1$
2$:	ret
MATH_SHL32_end::

; ---- float subtract and add -----------------------------------------------------------------
; After unpacking, the operand of larger magnitude is put in R4..R7 and gives the sign; the
; other is shifted right into R1..R3:B (B collects the bits below, the lowest bit sticky).

	.org	0xEB2B
MATH_FSUB::
	mov	a,r0
	xrl	a,#SIGN
	mov	r0,a
MATH_FSUB_end::
MATH_FADD::
	acall	f_unpack2
	clr	a
	rlc	a
	mov	dpl,a			; 1 when the magnitudes subtract
	clr	c
	mov	a,r3
	subb	a,r7
	mov	a,r2
	subb	a,r6
	mov	a,r1
	subb	a,r5
	mov	a,r0
	subb	a,r4
	jc	1$			; the second operand is the larger: it stays
	acall	f_swap
	sjmp	2$
1$:	mov	a,dpl
	jz	2$
	cpl	f0
2$:	cjne	r4,#EXP_SPECIAL,fadd_finite
	mov	a,r5			; the larger is an infinity or NaN
	anl	a,#FRACTION_HI
	orl	a,r6
	orl	a,r7
	jnz	fadd_nan
	cjne	r0,#EXP_SPECIAL,fadd_inf
	mov	a,dpl
	jz	fadd_inf
fadd_nan:
	ajmp	f_ret_nan
fadd_inf:
	ajmp	f_ret_inf
fadd_finite:
	mov	a,r4
	clr	c
	subb	a,r0
	mov	b,#0
	cjne	a,#ALIGN_LIMIT,.+3
	jc	1$
	mov	a,#ALIGN_LIMIT
1$:	jz	4$
	mov	r0,a
2$:	clr	c
	mov	a,r1
	rrc	a
	mov	r1,a
	mov	a,r2
	rrc	a
	mov	r2,a
	mov	a,r3
	rrc	a
	mov	r3,a
	mov	a,b
	rrc	a
	mov	b,a
	jnc	3$
	setb	b.0
3$:	djnz	r0,2$
4$:	mov	a,dpl
	jnz	6$
	mov	a,r7
	add	a,r3
	mov	r7,a
	mov	a,r6
	addc	a,r2
	mov	r6,a
	mov	a,r5
	addc	a,r1
	mov	r5,a
	jnc	7$
	rrc	a			; carry out: one place right, exponent up
	mov	r5,a
	mov	a,r6
	rrc	a
	mov	r6,a
	mov	a,r7
	rrc	a
	mov	r7,a
	mov	a,b
	rrc	a
	mov	b,a
	jnc	5$
	setb	b.0
5$:	inc	r4
	sjmp	7$
6$:	clr	c
	clr	a
	subb	a,b
	mov	b,a
	mov	a,r7
	subb	a,r3
	mov	r7,a
	mov	a,r6
	subb	a,r2
	mov	r6,a
	mov	a,r5
	subb	a,r1
	mov	r5,a
	orl	a,r6
	orl	a,r7
	orl	a,b
	jnz	7$
	clr	f0			; exact cancellation gives +0
	ajmp	f_ret_zero
7$:	mov	dph,#0
	ajmp	f_pack
MATH_FADD_end::

; Class of the unpacked float in R4..R7 in A: 0 finite and not zero, 1 zero, 2 infinity,
; 3 NaN.
f_class::
	mov	a,r5
	anl	a,#FRACTION_HI
	orl	a,r6
	orl	a,r7
	cjne	r4,#EXP_SPECIAL,1$
	add	a,#0xFF			; C: the fraction is not zero
	clr	a
	addc	a,#CLASS_INF
	ret
1$:	orl	a,r5
	add	a,#0xFF
	cpl	c
	clr	a
	rlc	a
	ret
f_class_end::

; Special operands of multiply and divide, after f_unpack2: A := the table byte for the classes
; of the first (R0..R3) and second (R4..R7) operand; its low nibble is the multiply result,
; its high nibble the divide result, as f_class codes (0: both finite and not zero).
f_special::
	acall	f_swap
	acall	f_class
	mov	b,a
	acall	f_swap
	acall	f_class
	xch	a,b
	rl	a
	rl	a
	orl	a,b
	mov	dptr,#f_special_table
	movc	a,@a+dptr
	ret
f_special_table:
	.db	0x00, 0x21, 0x12, 0x33	; finite by finite, zero, infinity, NaN
	.db	0x11, 0x31, 0x13, 0x33	; zero by ...
	.db	0x22, 0x23, 0x32, 0x33	; infinity by ...
	.db	0x33, 0x33, 0x33, 0x33	; NaN by ...
f_special_end::

; ---- float multiply -------------------------------------------------------------------------

	.org	0xEC20
MATH_FMUL::
	acall	f_unpack2
	mov	f0,c
	acall	f_special
	anl	a,#0x0F
	jz	1$
	ajmp	f_result
1$:	mov	dph,#0
	acall	f_normalize		; second operand: DPH:R4 := its exponent
	mov	a,r4
	add	a,r0
	mov	r4,a
	mov	a,dph
	addc	a,#0
	mov	dph,a
	mov	a,r4
	add	a,#<MUL_ADJUST
	mov	r4,a
	mov	a,dph
	addc	a,#>MUL_ADJUST
	mov	dph,a
	acall	f_swapm
	acall	f_normalize		; first operand
	; 24 x 24 bits by shift and add: high half in R0:R4:DPL, low half in R5..R7
	mov	a,r4
	push	acc
	push	dph
	clr	a
	mov	r0,a
	mov	r4,a
	mov	dpl,a
	mov	b,#MANTISSA_BITS
2$:	clr	c
	mov	a,r7
	jnb	acc.0,3$
	mov	a,dpl
	add	a,r3
	mov	dpl,a
	mov	a,r4
	addc	a,r2
	mov	r4,a
	mov	a,r0
	addc	a,r1
	mov	r0,a
3$:	mov	a,r0
	rrc	a
	mov	r0,a
	mov	a,r4
	rrc	a
	mov	r4,a
	mov	a,dpl
	rrc	a
	mov	dpl,a
	mov	a,r5
	rrc	a
	mov	r5,a
	mov	a,r6
	rrc	a
	mov	r6,a
	mov	a,r7
	rrc	a
	mov	r7,a
	djnz	b,2$
	mov	a,r6			; round byte: product bits 23..16, the rest sticky
	orl	a,r7
	add	a,#0xFF
	clr	a
	rlc	a
	orl	a,r5
	mov	b,a
	mov	a,r0
	mov	r5,a
	mov	a,r4
	mov	r6,a
	mov	r7,dpl
	pop	dph
	pop	acc
	mov	r4,a
	ajmp	f_pack
MATH_FMUL_end::

; Rounds to nearest, ties to even, and packs. F0 = sign; DPH:R4 = biased exponent (16-bit,
; signed) for the mantissa R5:R6:R7 with its bit 23 of weight 1; B = the next eight bits,
; bit 0 also standing for every nonzero bit below. Normalizes left while the exponent is
; above 1, then shifts right until it is 1 at least (gradual underflow).
f_pack::
	mov	a,r5
	jb	acc.7,3$
	mov	a,dph
	jb	acc.7,3$
	jnz	1$
	mov	a,r4
	add	a,#0xFE			; C: exponent >= 2
	jnc	3$
1$:	mov	a,b
	add	a,b
	mov	b,a
	mov	a,r7
	rlc	a
	mov	r7,a
	mov	a,r6
	rlc	a
	mov	r6,a
	mov	a,r5
	rlc	a
	mov	r5,a
	mov	a,r4
	jnz	2$
	dec	dph
2$:	dec	r4
	sjmp	f_pack
3$:	mov	a,dph
	jb	acc.7,4$
	orl	a,r4
	jnz	6$
4$:	clr	c
	mov	a,r5
	rrc	a
	mov	r5,a
	mov	a,r6
	rrc	a
	mov	r6,a
	mov	a,r7
	rrc	a
	mov	r7,a
	mov	a,b
	rrc	a
	mov	b,a
	jnc	5$
	setb	b.0
5$:	inc	r4
	cjne	r4,#0,51$
	inc	dph
	; No exponent gets as low as -255, so R4 = 1 here means an exponent of 1.
51$:	cjne	r4,#1,4$
6$:	mov	a,dph
	jnz	f_ret_inf
	mov	a,r4
	inc	a
	jz	f_ret_inf
	mov	a,r5			; exponent field = exponent - 1 + hidden bit
	rlc	a
	mov	a,r4
	addc	a,#0xFF
	mov	c,f0
	rrc	a
	mov	r4,a
	mov	a,r5
	mov	acc.7,c
	mov	r5,a
	mov	a,r7			; a carry out of the mantissa steps the exponent
	rrc	a
	mov	a,b
	addc	a,#ROUND_BIAS
	clr	a
	addc	a,r7
	mov	r7,a
	clr	a
	addc	a,r6
	mov	r6,a
	clr	a
	addc	a,r5
	mov	r5,a
	clr	a
	addc	a,r4
	mov	r4,a
	ret

; A = f_class code 1, 2 or 3: returns a signed zero, a signed infinity or the quiet NaN.
f_result:
	dec	a
	jz	f_ret_zero
	dec	a
	jz	f_ret_inf
f_ret_nan:
	mov	r4,#NAN_HI
	mov	r5,#NAN_NEXT
	clr	a
	mov	r6,a
	mov	r7,a
	ret
f_ret_inf:
	mov	r5,#HIDDEN
	mov	a,#0xFE			; with the sign shifted in: sign | 0x7F
	sjmp	f_ret_signed
f_ret_zero:
	clr	a
	mov	r5,a
f_ret_signed:
	mov	c,f0
	rrc	a
	mov	r4,a
	clr	a
	mov	r6,a
	mov	r7,a
	ret
f_pack_end::

; ---- float divide ---------------------------------------------------------------------------

	.org	0xED29
MATH_FDIV::
	acall	f_unpack2
	mov	f0,c
	acall	f_special
	swap	a
	anl	a,#0x0F
	jz	1$
	ajmp	f_result
1$:	mov	dph,#0
	acall	f_normalize		; divisor: DPH:R4 := its exponent
	clr	c
	mov	a,r0
	subb	a,r4
	mov	r4,a
	clr	a
	subb	a,dph
	mov	dph,a
	mov	a,r4
	add	a,#BIAS
	mov	r4,a
	jnc	2$
	inc	dph
2$:	acall	f_swapm
	acall	f_normalize		; dividend
	; 32 quotient bits by restoring division: quotient in R0:R4:DPH:DPL, remainder in
	; R5..R7 with its bit 24 in F0 (the sign waits on the stack with the exponent)
	mov	a,r4
	push	acc
	push	dph
	push	psw
	clr	f0
	mov	b,#QUOTIENT_BITS
3$:	mov	a,r7
	clr	c
	subb	a,r3
	mov	a,r6
	subb	a,r2
	mov	a,r5
	subb	a,r1
	anl	c,/f0
	cpl	c			; C: the divisor goes
	jnc	4$
	clr	c
	mov	a,r7
	subb	a,r3
	mov	r7,a
	mov	a,r6
	subb	a,r2
	mov	r6,a
	mov	a,r5
	subb	a,r1
	mov	r5,a
	setb	c
4$:	mov	a,dpl
	rlc	a
	mov	dpl,a
	mov	a,dph
	rlc	a
	mov	dph,a
	mov	a,r4
	rlc	a
	mov	r4,a
	mov	a,r0
	rlc	a
	mov	r0,a
	mov	a,r7
	add	a,r7
	mov	r7,a
	mov	a,r6
	rlc	a
	mov	r6,a
	mov	a,r5
	rlc	a
	mov	r5,a
	mov	f0,c
	djnz	b,3$
	mov	a,r5			; sticky: a remainder is left
	orl	a,r6
	orl	a,r7
	add	a,#0xFF
	orl	c,f0
	clr	a
	rlc	a
	orl	a,dpl
	mov	b,a
	mov	a,r0
	mov	r5,a
	mov	a,r4
	mov	r6,a
	mov	r7,dph
	pop	psw
	pop	dph
	pop	acc
	mov	r4,a
	ajmp	f_pack
MATH_FDIV_end::

; ---- float compare --------------------------------------------------------------------------

	.org	0xEDC6
MATH_FCMP::
	acall	f_isnan
	jc	4$
	acall	f_swap
	acall	f_isnan
	acall	f_swap
	jc	4$
	mov	a,r4			; +0 and -0 are equal
	orl	a,r0
	anl	a,#FRACTION_HI
	orl	a,r5
	orl	a,r6
	orl	a,r7
	orl	a,r1
	orl	a,r2
	orl	a,r3
	jz	5$
	mov	a,r4
	xrl	a,r0
	jnb	acc.7,1$
	mov	a,r4			; signs differ: the positive one is greater
	cpl	a
	rlc	a
	sjmp	3$
1$:	clr	c			; same sign: compare the bit patterns
	mov	a,r3
	subb	a,r7
	mov	b,a
	mov	a,r2
	subb	a,r6
	orl	b,a
	mov	a,r1
	subb	a,r5
	orl	b,a
	mov	a,r0
	subb	a,r4
	orl	a,b
	jz	5$
	mov	a,r4
	jnb	acc.7,3$
	cpl	c			; both negative: the larger pattern is the smaller number
3$:	mov	a,#1
	ret
4$:	clr	c
	sjmp	3$
5$:	ret
MATH_FCMP_end::

; C := the float in R4..R7 is a NaN: its magnitude is above 0x7F800000. Changes A.
f_isnan::
	clr	c
	clr	a
	subb	a,r7
	clr	a
	subb	a,r6
	mov	a,#HIDDEN
	subb	a,r5
	mov	a,r4
	cpl	a
	anl	a,#FRACTION_HI
	subb	a,#0
	ret
f_isnan_end::

; ---- integer to float -----------------------------------------------------------------------
; The integer stands left-aligned in R4..R7 with B the exponent for its top bit at bit 31.

	.org	0xEE33
MATH_I32TOF::
	mov	b,#INT_EXPONENT
	sjmp	i_convert
MATH_I32TOF_end::
MATH_I16TOF::
	mov	b,#(INT_EXPONENT - 16)
	sjmp	i_low16
MATH_I16TOF_end::
MATH_I8TOF::
	mov	b,#(INT_EXPONENT - 24)
	clr	a
	mov	r5,a
i_low16:
	clr	a
	mov	r6,a
	mov	r7,a
i_convert:
	mov	a,r4
	rlc	a
	mov	f0,c
	jnc	1$
	acall	MATH_NEG32
1$:	mov	a,r4
	orl	a,r5
	orl	a,r6
	orl	a,r7
	jz	2$			; zero stays +0
	mov	a,r7			; B := low byte as the round byte, mantissa := top 24 bits
	xch	a,b
	xch	a,r4
	xch	a,r5
	xch	a,r6
	mov	r7,a
	mov	dph,#0
	ajmp	f_pack
2$:	ret
MATH_I8TOF_end::

; ---- float to integer -----------------------------------------------------------------------

	.org	0xEE71
MATH_FTOI32::
	mov	a,r5
	rlc	a
	mov	a,r4
	rlc	a			; A = biased exponent, C = sign
	mov	f0,c
	cjne	a,#INT_EXPONENT,.+3
	jnc	3$
	cjne	a,#ONE_EXPONENT,.+3
	jc	5$
	mov	r4,#0
	xch	a,r5
	orl	a,#HIDDEN
	xch	a,r5
	add	a,#(0x100 - (BIAS + 23))	; exponent - 150; C: shift left
	jc	1$
	cpl	a
	inc	a
	mov	r0,a
	acall	MATH_SHR32
	sjmp	2$
1$:	mov	r0,a
	acall	MATH_SHL32
2$:	jnb	f0,4$
	ajmp	MATH_NEG32
3$:	jb	f0,31$			; saturate by sign
	mov	r4,#0x7F
	mov	a,#0xFF
	sjmp	32$
31$:	mov	r4,#0x80
	clr	a
32$:	mov	r5,a
	mov	r6,a
	mov	r7,a
4$:	ret
5$:	clr	a
	mov	r4,a
	mov	r5,a
	mov	r6,a
	mov	r7,a
	ret
MATH_FTOI32_end::
