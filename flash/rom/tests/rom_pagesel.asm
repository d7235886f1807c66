; Each page-select helper of the flash routine image called once, with A = CHECK_A and the
; carry set. Before the call its page register holds PAGE_START and the map bit is the
; opposite of what the helper must leave (the 0xD1 helpers: set, and must stay set), so a
; helper that skips a step leaves a trace.
; Record n (HELPER_RECORD bytes at RESULTS + HELPER_RECORD * n): PSW before, A after, PSW
; after, SFR 0x8F after, the page register after, SFR 0xBB after (system page 1 for the first
; two helpers), SP after.
	.include "rom_test.inc"
CHECK_A		= 0x5A
PAGE_START	= 0xEA		; bits 5..3 (101) must survive, the rest is rewritten
BB_START	= 0x47		; system page 1's SFR 0xBB before each call
FLASH_PAGE_D1	= 6		; the 0xD1 helpers run with flash page 6 selected
HELPER_RECORD	= 8
SCRATCH		= 0x40		; the record in internal RAM

; Calls `helper`, records it as record n (page register `reg`).
	.macro	RECORD_CALL n, helper, reg
	mov	a,#CHECK_A
	setb	c
	mov	SCRATCH+0,psw
	lcall	helper
	mov	SCRATCH+1,acc
	mov	SCRATCH+2,psw
	mov	SCRATCH+3,MAPSFR
	mov	SCRATCH+4,reg
	mov	SCRATCH+5,0xBB
	mov	SCRATCH+6,sp
	mov	dptr,#(RESULTS + HELPER_RECORD * n)
	acall	store_helper_record
	.endm

; A helper that leaves the map bit clear: system page 1 gets BB_START at 0xBB (and at 0xB2 for
; the 0xB2 helpers); the system page register PAGE_START for the 0xBF helpers; then the map
; bit is set.
	.macro	MAP_CLEARED n, helper, reg
	mov	MAPSFR,#CALLER_MAP
	mov	SYSPAGE,#1
	mov	0xBB,#BB_START
	mov	reg,#PAGE_START
	orl	MAPSFR,#0x01
	RECORD_CALL n, helper, reg
	.endm

; A flash-page helper: FPAGE := PAGE_START with the map bit set, then the map bit cleared.
	.macro	MAP_SET n, helper
	mov	MAPSFR,#(CALLER_MAP | 0x01)
	mov	FPAGE,#PAGE_START
	anl	MAPSFR,#0xFE
	RECORD_CALL n, helper, FPAGE
	.endm

; A 0xD1 helper: map bit set, flash page 6, its 0xD1 := PAGE_START.
	.macro	MAP_KEPT n, helper
	mov	MAPSFR,#(CALLER_MAP | 0x01)
	mov	FPAGE,#FLASH_PAGE_D1
	mov	0xD1,#PAGE_START
	RECORD_CALL n, helper, 0xD1
	.endm

	TEST_PROGRAM_START
	MAP_CLEARED	0, 0xC000, SYSPAGE
	MAP_CLEARED	1, 0xC010, SYSPAGE
	MAP_KEPT	2, 0xC020
	MAP_KEPT	3, 0xC027
	MAP_KEPT	4, 0xC02E
	MAP_KEPT	5, 0xC035
	MAP_KEPT	6, 0xC03C
	MAP_KEPT	7, 0xC043
	MAP_KEPT	8, 0xC04A
	MAP_CLEARED	9, 0xC051, 0xB2
	MAP_CLEARED	10, 0xC05B, 0xB2
	MAP_CLEARED	11, 0xC065, 0xB2
	MAP_CLEARED	12, 0xC06F, SYSPAGE
	MAP_CLEARED	13, 0xC079, SYSPAGE
	MAP_CLEARED	14, 0xC083, SYSPAGE
	MAP_SET		15, 0xC08D
	MAP_SET		16, 0xC097
	MAP_SET		17, 0xC0A1
	MAP_SET		18, 0xC0AB
	MAP_SET		19, 0xC0B5
	MAP_SET		20, 0xC0BF
	MAP_SET		21, 0xC0C9
	sjmp	.

store_helper_record:
	mov	r0,#SCRATCH
1$:	mov	a,@r0
	movx	@dptr,a
	inc	dptr
	inc	r0
	cjne	r0,#(SCRATCH + HELPER_RECORD),1$
	ret

	ROM_TEST_SUBROUTINES
