; Calls one arithmetic library routine on a batch of operand records and stores every register
; it returns, for rom_arith_test.
;
; The test supplies in code memory: at HEADER the routine's address (big-endian) and the record
; count (big-endian); at RECORDS the records, 8 bytes each: R4, R5, R6, R7, R0, R1, R2, R3.
; Before each call PSW is 0 (register bank 0, carry clear), B and DPTR hold sentinels.
; Results go to external data memory from 0, 16 bytes per record:
; R4, R5, R6, R7, R0, R1, R2, R3, A, PSW, B, DPH, DPL, SP, 0, 0.
; The program ends by jumping to itself at `done`.

	.module	arith_driver
	.area	DRIVER (ABS,CODE)

HEADER		= 0x0040
RECORDS		= 0x1000
RECORD_SIZE	= 8
SENTINEL_B	= 0xA5
SENTINEL_DPTR	= 0x5A3C
STACK_BASE	= 0x3F

TARGET		= 0x30		; idata: routine address, high byte first
COUNT		= 0x32		; records left, high byte first
INPTR		= 0x34		; next record, high byte first
OUTPTR		= 0x36		; next result, high byte first
SAVED		= 0x38		; A, PSW, B, DPH, DPL, SP after the call
SAVED_COUNT	= 6

	.org	0x0000
	ljmp	start

	.org	0x0100
start:
	mov	sp,#STACK_BASE
	mov	dptr,#HEADER
	clr	a
	movc	a,@a+dptr
	mov	TARGET,a
	mov	a,#1
	movc	a,@a+dptr
	mov	TARGET+1,a
	mov	a,#2
	movc	a,@a+dptr
	mov	COUNT,a
	mov	a,#3
	movc	a,@a+dptr
	mov	COUNT+1,a
	mov	INPTR,#>RECORDS
	mov	INPTR+1,#<RECORDS
	mov	OUTPTR,#0
	mov	OUTPTR+1,#0
next:
	mov	a,COUNT
	orl	a,COUNT+1
	jnz	3$
	ljmp	done
3$:	mov	dph,INPTR
	mov	dpl,INPTR+1
	clr	a
	movc	a,@a+dptr
	mov	r4,a
	mov	a,#1
	movc	a,@a+dptr
	mov	r5,a
	mov	a,#2
	movc	a,@a+dptr
	mov	r6,a
	mov	a,#3
	movc	a,@a+dptr
	mov	r7,a
	mov	a,#4
	movc	a,@a+dptr
	mov	r0,a
	mov	a,#5
	movc	a,@a+dptr
	mov	r1,a
	mov	a,#6
	movc	a,@a+dptr
	mov	r2,a
	mov	a,#7
	movc	a,@a+dptr
	mov	r3,a
	mov	a,dpl
	add	a,#RECORD_SIZE
	mov	INPTR+1,a
	clr	a
	addc	a,dph
	mov	INPTR,a
	mov	b,#SENTINEL_B
	mov	dptr,#SENTINEL_DPTR
	clr	a
	mov	psw,#0
	lcall	invoke
	mov	SAVED,a
	mov	SAVED+1,psw
	mov	SAVED+2,b
	mov	SAVED+3,dph
	mov	SAVED+4,dpl
	mov	SAVED+5,sp
	mov	psw,#0
	mov	dph,OUTPTR
	mov	dpl,OUTPTR+1
	mov	a,r4
	acall	put
	mov	a,r5
	acall	put
	mov	a,r6
	acall	put
	mov	a,r7
	acall	put
	mov	a,r0
	acall	put
	mov	a,r1
	acall	put
	mov	a,r2
	acall	put
	mov	a,r3
	acall	put
	mov	r0,#SAVED
	mov	r1,#SAVED_COUNT
1$:	mov	a,@r0
	acall	put
	inc	r0
	djnz	r1,1$
	clr	a
	acall	put
	clr	a
	acall	put
	mov	OUTPTR,dph
	mov	OUTPTR+1,dpl
	mov	a,COUNT+1
	jnz	2$
	dec	COUNT
2$:	dec	COUNT+1
	ljmp	next
done:
	sjmp	done

put:
	movx	@dptr,a
	inc	dptr
	ret

; Jumps to the routine with the caller's return address on the stack.
invoke:
	push	TARGET+1
	push	TARGET
	ret
