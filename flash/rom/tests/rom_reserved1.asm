; Entry 1 of the ROM entry table never returns: it jumps to itself.
	.include "rom_test.inc"
	TEST_PROGRAM_START
	lcall	ENTRY_RESERVED_1
	sjmp	.
