; ROM_ERASE_ABORT in both erase phases, refused with mismatching phase registers and with no
; bank in erase mode. The test fills the banks with 0xFF first.
; Records: 0 erase pair 0 sector 0, 1 abort at once, 2 erase DFLASH 0 sector 0, 3 abort in the
; second phase, 4 erase pair 0 sector 1, 5 abort with FPHASE2 changed, 6 last poll,
; 7 abort with nothing in erase mode.
	.include "rom_test.inc"
	TEST_PROGRAM_START
	mov	a,#0x04
	acall	set_fprot

	acall	clear_inputs
	mov	r5,#0x01
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	0
	acall	set_registers
	ROMCALL	ENTRY_ERASE_ABORT
	acall	flash_state
	STORE	1

	acall	clear_inputs
	mov	r0,#0x01
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	2
	mov	a,#1			; FPHASE1 turns 0x1F when the first phase ends
	acall	flash_page
1$:	mov	a,FPHASE
	jz	1$
	acall	set_registers
	ROMCALL	ENTRY_ERASE_ABORT
	acall	flash_state
	STORE	3

	acall	clear_inputs
	mov	r5,#0x02
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	4
	clr	a
	acall	flash_page
2$:	mov	a,FPHASE
	jz	2$
	mov	FPAGE,#7
	mov	FPHASE2,#0x1F		; no longer FPHASE0 AND 0x1E
	acall	set_registers
	ROMCALL	ENTRY_ERASE_ABORT
	acall	flash_state
	STORE	5
3$:	clr	a
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	3$
	acall	flash_state
	STORE	6
	acall	set_registers
	ROMCALL	ENTRY_ERASE_ABORT
	acall	flash_state
	STORE	7
	sjmp	.

clear_inputs:
	clr	a
	mov	r0,a
	mov	r1,a
	mov	r3,a
	mov	r4,a
	mov	r5,a
	mov	r6,a
	mov	r7,a
	ret

	ROM_TEST_SUBROUTINES
	PARAMETER_AREA
