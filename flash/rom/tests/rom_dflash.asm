; ROM_PROGRAM on DFLASH 0 through both views, and a block that runs out of the bank.
; Records: 0 program 0xA020, 1 last poll, 2 program 0x7FE0, 3 last poll, 4 program 0x7FF0,
; 5 state after a pause, 6 timing registers.
	.include "rom_test.inc"
	TEST_PROGRAM_START
	mov	a,#0x04
	acall	set_fprot

	mov	a,#0x40
	acall	fill_block_ram
	mov	dptr,#0xA020
	mov	r0,#BLOCK_RAM
	mov	r5,#0xA5
	mov	r6,#0xA6
	mov	r7,#0xA7
	ROMCALL	ENTRY_PROGRAM
	acall	flash_state
	STORE	0
1$:	mov	a,#3
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	1$
	acall	flash_state
	STORE	1
	acall	timing_state
	STORE	6

	mov	a,#0x70
	acall	fill_block_ram
	mov	dptr,#0x7FE0
	mov	r0,#BLOCK_RAM
	ROMCALL	ENTRY_PROGRAM
	acall	flash_state
	STORE	2
2$:	mov	a,#3
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	2$
	acall	flash_state
	STORE	3

	; The last byte of this block, 0x800F, lies in no bank: no control is written and the
	; start finds nothing to do.
	mov	a,#0x04
	acall	set_fcmd
	mov	a,#0x90
	acall	fill_block_ram
	mov	dptr,#0x7FF0
	mov	r0,#BLOCK_RAM
	ROMCALL	ENTRY_PROGRAM
	acall	flash_state
	STORE	4
	acall	pause
	acall	flash_state
	STORE	5
	sjmp	.

	ROM_TEST_SUBROUTINES
	PARAMETER_AREA
