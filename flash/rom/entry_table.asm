; ROM entry table: code 0xDFE4-0xE001, ten long jumps. Entries 0 and 1 jump to themselves.

	.module	entry_table
	.area	ENTRYTAB (ABS,CODE)

	.org	0xDFE4
ROM_ENTRY_TABLE::
ROM_RESERVED_0::	ljmp	ROM_RESERVED_0
ROM_RESERVED_1::	ljmp	ROM_RESERVED_1
			ljmp	ROM_READ_PARAM
			ljmp	ROM_SET_MARGIN
			ljmp	ROM_READ_MODE_TEST
			ljmp	ROM_ERASE_ABORT
			ljmp	ROM_PROGRAM
			ljmp	ROM_ERASE
			ljmp	ROM_FCMD_CLR0
			ljmp	ROM_FCMD_SET0
ROM_ENTRY_TABLE_end::
