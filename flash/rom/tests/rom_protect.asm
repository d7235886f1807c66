; FPROT refusals of ROM_PROGRAM and ROM_ERASE, and addresses outside every bank.
; Records: 0 program 0x1240 with FPROT 0x01, 1 program 0xA020 with FPROT 0x01, 2 its last poll,
; 3 program 0x1240 with FPROT 0x03, 4 program 0xA040 with FPROT 0x03, 5 program 0x8000,
; 6 program 0xFC00, 7 erase pair 0 only with FPROT 0x01, 8 erase pair 0 and DFLASH 0 with
; FPROT 0x01, 9 its last poll, 10 erase DFLASH 0 with FPROT 0x03.
; Read back: READBACK, 32 bytes programmed at 0xA020.
	.include "rom_test.inc"
	TEST_PROGRAM_START
	mov	a,#0x21
	acall	fill_block_ram

	mov	a,#0x01
	acall	set_fprot
	mov	dptr,#0x1240
	mov	r0,#BLOCK_RAM
	ROMCALL	ENTRY_PROGRAM
	acall	flash_state
	STORE	0
	mov	dptr,#0xA020
	mov	r0,#BLOCK_RAM
	ROMCALL	ENTRY_PROGRAM
	acall	flash_state
	STORE	1
1$:	mov	a,#3
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	1$
	STORE	2
	READ_BACK	0xA020, 32, READBACK

	mov	a,#0x03
	acall	set_fprot
	mov	dptr,#0x1240
	mov	r0,#BLOCK_RAM
	ROMCALL	ENTRY_PROGRAM
	acall	flash_state
	STORE	3
	mov	dptr,#0xA040
	mov	r0,#BLOCK_RAM
	ROMCALL	ENTRY_PROGRAM
	acall	flash_state
	STORE	4

	; No FDATA write may happen: the sentinel written by MOV direct,#data stays.
	mov	a,#0x04
	acall	set_fprot
	orl	MAPSFR,#0x01
	mov	FDATA,#0x5A
	mov	dptr,#0x8000
	mov	r0,#BLOCK_RAM
	ROMCALL	ENTRY_PROGRAM
	STORE	5
	mov	dptr,#0xFC00
	mov	r0,#BLOCK_RAM
	ROMCALL	ENTRY_PROGRAM
	STORE	6

	mov	a,#0x01
	acall	set_fprot
	mov	r0,#0
	mov	r1,#0
	mov	r3,#0
	mov	r4,#0
	mov	r5,#0x01
	mov	r6,#0x02
	mov	r7,#0x04
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	7
	mov	r0,#0x01
	mov	r1,#0
	mov	r3,#0
	mov	r4,#0
	mov	r5,#0x01
	mov	r6,#0
	mov	r7,#0
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	8
2$:	mov	a,#3
	ROMCALL	ENTRY_READ_MODE_TEST
	jnc	2$
	acall	flash_state
	STORE	9

	mov	a,#0x03
	acall	set_fprot
	mov	r0,#0x01
	mov	r1,#0
	mov	r3,#0
	mov	r4,#0
	mov	r5,#0
	mov	r6,#0
	mov	r7,#0
	ROMCALL	ENTRY_ERASE
	acall	flash_state
	STORE	10
	sjmp	.

	ROM_TEST_SUBROUTINES
	PARAMETER_AREA
