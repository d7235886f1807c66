; ROM_ERASE with DFLASH-only, mixed, empty and PFLASH selections. The test fills the banks
; with 0xFF first.
; Records: 0 erase DFLASH 1 sectors 0 and 9, 1 its last poll, 2 erase mixed (DFLASH 0 sectors
; 0, 7, 8, 9 and pair 0 sector 0), 3 timing registers after it, 4 its last poll, 5 erase with
; only an unused select bit, 6 timing registers after it, 7 erase with nothing, 8 erase all of
; pair 2, 9 its last poll.
	.include "rom_test.inc"
	TEST_PROGRAM_START
	mov	a,#0x04
	acall	set_fprot

	mov	r0,#0
	mov	r1,#0
	mov	r3,#0x01
	mov	r4,#0x02
	mov	r5,#0
	mov	r6,#0
	mov	r7,#0
	mov	dptr,#0x4321
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	0
1$:	mov	a,#4
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	1$
	acall	flash_state
	STORE	1

	mov	r0,#0x81
	mov	r1,#0x03
	mov	r3,#0
	mov	r4,#0
	mov	r5,#0x01
	mov	r6,#0
	mov	r7,#0
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	2
	acall	timing_state
	STORE	3
2$:	mov	a,#3
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	2$
	acall	flash_state
	STORE	4

	mov	r0,#0
	mov	r1,#0
	mov	r3,#0
	mov	r4,#0
	mov	r5,#0x08
	mov	r6,#0
	mov	r7,#0
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	5
	acall	timing_state
	STORE	6

	mov	r0,#0
	mov	r1,#0
	mov	r3,#0
	mov	r4,#0
	mov	r5,#0
	mov	r6,#0
	mov	r7,#0
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	7

	mov	r0,#0
	mov	r1,#0
	mov	r3,#0
	mov	r4,#0
	mov	r5,#0
	mov	r6,#0
	mov	r7,#0x07
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	8
3$:	mov	a,#2
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	3$
	acall	flash_state
	STORE	9
	sjmp	.

	ROM_TEST_SUBROUTINES
	PARAMETER_AREA
