; A full cycle as firmware does it: program a PFLASH block, poll ROM_READ_MODE_TEST until read
; mode, read the block back with MOVC, erase its sector, poll again and read zeros.
; Records: 0 program, 1 last poll, 2 erase, 3 last poll, 4 timing registers.
; Read back: READBACK (programmed block), READBACK + 64 (after the erase).
	.include "rom_test.inc"
	TEST_PROGRAM_START
	mov	a,#0x04
	acall	set_fprot
	mov	a,#0x11
	acall	fill_block_ram

	mov	dptr,#0x1240
	mov	r0,#BLOCK_RAM
	mov	r1,#0xA1
	mov	r2,#0xA2
	mov	r3,#0xA3
	mov	r4,#0xA4
	mov	r5,#0xA5
	mov	r6,#0xA6
	mov	r7,#0xA7
	mov	b,#0xBB
	mov	a,#0xAA
	ROMCALL	ENTRY_PROGRAM
	acall	flash_state
	STORE	0

1$:	clr	a
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	1$
	acall	flash_state
	STORE	1
	READ_BACK	0x1240, 64, READBACK

	mov	r0,#0x00		; no DFLASH 0 sector
	mov	r1,#0xFC		; bits above 1..0 are dropped
	mov	r3,#0x00
	mov	r4,#0xF0
	mov	r5,#0x01		; pair 0, sector 0: 0x0000-0x1DFF
	mov	r6,#0xF8		; bits above 2..0 are dropped
	mov	r7,#0x00
	mov	dptr,#0x1234
	mov	b,#0xBB
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	2

2$:	clr	a
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	2$
	acall	flash_state
	STORE	3
	acall	timing_state
	STORE	4
	READ_BACK	0x1240, 64, READBACK+64
	sjmp	.

	ROM_TEST_SUBROUTINES
	PARAMETER_AREA
