; Entry 0 of the ROM entry table never returns: it jumps to itself.
	.include "rom_test.inc"
	.area	CODE (ABS,CODE)
	.org	0
	ljmp	main
	.org	PROGRAM_CODE		; outside the flash banks, which the tests erase
main:
	mov	sp,#STACK
	lcall	ENTRY_RESERVED_0
	sjmp	.
