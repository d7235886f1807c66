; ROM_READ_MODE_TEST, ROM_SET_MARGIN, ROM_READ_PARAM, and FCMD bit 0 holding back a start.
; Records: 0 read-mode test of pair 0 with its second control in program mode, 1 with both in
; read mode, 2 bank 5, 3 bank 3, 4 set margin 0x13, 5 set margin 0x0C, 6 read parameter 0xFC05,
; 7 read parameter 0x1234, 8 read parameter 0xFE80, 9 FCMD bit 0 set, 10 program pair 1 held
; back, 11 state after a pause, 12 FCMD bit 0 cleared, 13 last poll.
; EXTRA+1, +2 of records 4 and 5: FMARGIN and SFR 0xDB (flash page 0) after the call.
	.include "rom_test.inc"
	TEST_PROGRAM_START
	mov	a,#0x04
	acall	set_fprot
	acall	set_registers

	clr	a
	acall	flash_page
	mov	FCTL_B,#0x80		; no request bit: the control keeps what was written
	acall	set_registers
	clr	a
	ROMCALL	ENTRY_READ_MODE_TEST
	STORE	0
	clr	a
	acall	flash_page
	mov	FCTL_B,#0x22		; read request: back to 0x20
	acall	set_registers
	clr	a
	ROMCALL	ENTRY_READ_MODE_TEST
	STORE	1
	acall	set_registers
	mov	a,#5
	ROMCALL	ENTRY_READ_MODE_TEST
	STORE	2
	acall	set_registers
	mov	a,#3
	ROMCALL	ENTRY_READ_MODE_TEST
	STORE	3

	clr	a
	acall	flash_page
	mov	FMARGIN,#0x2D
	mov	MARGIN_AUX,#0xF0
	acall	set_registers
	mov	a,#0x13
	ROMCALL	ENTRY_SET_MARGIN
	acall	margin_state
	STORE	4
	acall	set_registers
	mov	a,#0x0C
	ROMCALL	ENTRY_SET_MARGIN
	acall	margin_state
	STORE	5

	acall	set_registers
	mov	dptr,#0xFC05
	ROMCALL	ENTRY_READ_PARAM
	STORE	6
	acall	set_registers
	mov	dptr,#0x1234
	ROMCALL	ENTRY_READ_PARAM
	STORE	7
	acall	set_registers
	mov	dptr,#0xFE80
	ROMCALL	ENTRY_READ_PARAM
	STORE	8

	mov	a,#0x04
	acall	set_fcmd
	acall	set_registers
	ROMCALL	ENTRY_FCMD_SET0
	acall	flash_state
	STORE	9
	mov	a,#0x31
	acall	fill_block_ram
	mov	dptr,#0x2000
	mov	r0,#BLOCK_RAM
	ROMCALL	ENTRY_PROGRAM
	acall	flash_state
	STORE	10
	acall	pause
	acall	flash_state
	STORE	11
	acall	set_registers
	ROMCALL	ENTRY_FCMD_CLR0
	acall	flash_state
	STORE	12
1$:	mov	a,#1
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	1$
	acall	flash_state
	STORE	13
	sjmp	.

margin_state:
	clr	a
	acall	flash_page
	mov	EXTRA+1,FMARGIN
	mov	EXTRA+2,MARGIN_AUX
	ret

	ROM_TEST_SUBROUTINES
	PARAMETER_AREA
