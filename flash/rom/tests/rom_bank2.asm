; The flash routines called with register bank 2 selected, as interrupt handlers and compiled
; code do: inputs come from bank 2's registers, results go there, and bank 0 is left alone.
; Records: 0 program 0x1240 (bank 2: R0 = BLOCK_RAM), 1 last poll, 2 erase of pair 0 sector 0
; (bank 2: R5 = 1), 3 last poll. EXTRA+1..8 of records 0 and 2: bank 2's R0..R7 after the call.
; Bank 0 holds 0xA0..0xA7 throughout: a routine that used it would program from, advance or
; erase by those values.
; Read back: READBACK (programmed block), READBACK + 64 (after the erase).
	.include "rom_test.inc"
PSW_BANK2	= 0x10		; RS1 set, RS0 clear
BANK2_R0	= 0x10		; bank 2's R0 in internal RAM

	TEST_PROGRAM_START
	mov	a,#0x04
	acall	set_fprot
	mov	a,#0x11
	acall	fill_block_ram
	acall	set_registers		; bank 0 := 0xA0..0xA7

	mov	psw,#PSW_BANK2
	mov	r0,#BLOCK_RAM
	mov	r1,#0x21
	mov	r2,#0x22
	mov	r3,#0x23
	mov	r4,#0x24
	mov	r5,#0x25
	mov	r6,#0x26
	mov	r7,#0x27
	mov	dptr,#0x1240
	ROMCALL	ENTRY_PROGRAM
	acall	bank2_state
	STORE	0

1$:	clr	a
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	1$
	STORE	1
	READ_BACK	0x1240, 64, READBACK

	mov	r0,#0x00
	mov	r1,#0x00
	mov	r3,#0x00
	mov	r4,#0x00
	mov	r5,#0x01		; pair 0, sector 0
	mov	r6,#0x00
	mov	r7,#0x00
	mov	dptr,#0x1234
	ROMCALL	ENTRY_ERASE
	acall	bank2_state
	STORE	2

2$:	clr	a
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	2$
	STORE	3
	READ_BACK	0x1240, 64, READBACK+64
	sjmp	.

bank2_state:
	mov	EXTRA+1,BANK2_R0+0
	mov	EXTRA+2,BANK2_R0+1
	mov	EXTRA+3,BANK2_R0+2
	mov	EXTRA+4,BANK2_R0+3
	mov	EXTRA+5,BANK2_R0+4
	mov	EXTRA+6,BANK2_R0+5
	mov	EXTRA+7,BANK2_R0+6
	mov	EXTRA+8,BANK2_R0+7
	ret

	ROM_TEST_SUBROUTINES
	PARAMETER_AREA
