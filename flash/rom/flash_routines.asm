; Flash routine image: code 0xC000-0xC4F9.
;
; Page-select helpers at fixed addresses, the flash routines that the ROM entry table reaches,
; and their private helpers in between. Every flash routine pushes SFR 0x8F on entry and pops
; it on return, leaves the system page register as it found it, keeps the stack balanced and
; reports refusal with the carry set.
;
; Layout rule checked by the build: each global label NAME:: opens a block that ends at
; NAME_end::; blocks must not overlap, and the fixed addresses must match the layout table.

	.module	flash_routines
	.area	FLASHROM (ABS,CODE)

; ---- SFRs ---------------------------------------------------------------------------------
MAPREG		= 0x8F		; bit 0: map bit
MAPBIT		= 0x01
SYSPAGE		= 0xBF		; system page register (map bit clear)
SYSPAGE_FPROT	= 2
FPROT		= 0xBA		; in system page 2
FPAGE		= 0xDF		; flash page register (map bit set)
DPSEL		= 0xA2		; kept across each FDATA write
FDATA		= 0xF7		; map bit set, any flash page

; Flash pages 0..2: a PFLASH pair; 3 and 4: a DFLASH bank.
FCTL_A		= 0xD3		; pair, first control
FCTL_B		= 0xD4		; pair, second control
FSEL_P		= 0xD5		; pair sector select
FPHASE		= 0xD6		; FPHASE0 in page 0, FPHASE1 in page 1
FMARGIN		= 0xDD		; page 0
FCMD		= 0xDE		; page 0
MARGIN_AUX	= 0xDB		; page 0, bit 0 follows ROM_SET_MARGIN's A bit 4
FCTL_D		= 0xD2		; DFLASH control
FSEL_DL		= 0xD3		; DFLASH sectors 0..7
FSEL_DH		= 0xD4		; DFLASH sectors 8..9
FIRQCFG		= 0xDD		; page 3
FPHASE2		= 0xD2		; page 7

PAGE_FPHASE0	= 0
PAGE_FPHASE1	= 1
PAGE_FCMD	= 0
PAGE_FIRQCFG	= 3
PAGE_FPHASE2	= 7

; Program timing registers (page 6) and erase timing registers (page 7).
TP_1		= 0xD1
TP_2		= 0xD2
TP_3		= 0xD3
TP_4		= 0xD4
TP_6		= 0xD6
TP_7		= 0xD7
TP_B		= 0xDB
TP_C		= 0xDC
TE_1		= 0xD1
TE_3		= 0xD3
TE_4		= 0xD4
TE_5		= 0xD5
TE_6		= 0xD6

; ---- values -------------------------------------------------------------------------------
REQ_ERASE	= 0x04
REQ_PROGRAM	= 0x08
CMD_START	= 0x06
CMD_RUN_BIT	= 0x02		; clearing it turns 6 into 4: abort
CMD_HOLD_BIT	= 0x01
IRQ_ENABLE	= 0x01
PHASE_BITS	= 0x1E
PAIR_SELECT_KEEP = 0xC0
DATA_HIGH_KEEP	= 0xF0
PAIR_SECTORS	= 0x07
DATA_HIGH_SECTORS = 0x03
PAIR_BANKS	= 0x07		; bank mask bits of the PFLASH pairs
DATA_BANKS	= 0x18		; bank mask bits of the DFLASH banks
FIRST_DATA_BANK	= 3
BANK_COUNT	= 5
NO_BANK		= 0xFF
PAIR_BLOCK	= 64
DATA_BLOCK	= 32
PARAM_AREA_HI	= 0xFC		; parameter area 0xFC00-0xFFFF
PFLASH_TIMING	= 0xFC00
DFLASH_TIMING	= 0xFD83
ERASE_TIMING	= 8		; T8..T12 follow T0..T7
PAGE_KEEP	= 0x38		; page registers keep bits 5..3

; ---- page-select helpers: AND 0x38 then OR n; A and the carry are left alone ---------------

	.macro	PAGESEL reg, n
	anl	reg,#PAGE_KEEP
	orl	reg,#n
	ret
	.endm

	.org	0xC000
PAGE_SYS1_B7_B4::
	anl	MAPREG,#~MAPBIT
	anl	SYSPAGE,#PAGE_KEEP
	orl	SYSPAGE,#1
	anl	0xBB,#0x9F
	orl	0xBB,#0x98
	ret
PAGE_SYS1_B7_B4_end::

	.org	0xC010
PAGE_SYS1_B7_B5::
	anl	MAPREG,#~MAPBIT
	anl	SYSPAGE,#PAGE_KEEP
	orl	SYSPAGE,#1
	anl	0xBB,#0xAF
	orl	0xBB,#0xA8
	ret
PAGE_SYS1_B7_B5_end::

	.org	0xC020
PAGE_D1_0::	PAGESEL	0xD1, 0
PAGE_D1_0_end::
PAGE_D1_1::	PAGESEL	0xD1, 1
PAGE_D1_1_end::
PAGE_D1_2::	PAGESEL	0xD1, 2
PAGE_D1_2_end::
PAGE_D1_3::	PAGESEL	0xD1, 3
PAGE_D1_3_end::
PAGE_D1_4::	PAGESEL	0xD1, 4
PAGE_D1_4_end::
PAGE_D1_5::	PAGESEL	0xD1, 5
PAGE_D1_5_end::
PAGE_D1_6::	PAGESEL	0xD1, 6
PAGE_D1_6_end::

	.macro	MAPPED_OFF reg, n
	anl	MAPREG,#~MAPBIT
	PAGESEL	reg, n
	.endm

PAGE_B2_0::	MAPPED_OFF 0xB2, 0
PAGE_B2_0_end::
PAGE_B2_1::	MAPPED_OFF 0xB2, 1
PAGE_B2_1_end::
PAGE_B2_2::	MAPPED_OFF 0xB2, 2
PAGE_B2_2_end::
PAGE_SYS_0::	MAPPED_OFF SYSPAGE, 0
PAGE_SYS_0_end::
PAGE_SYS_1::	MAPPED_OFF SYSPAGE, 1
PAGE_SYS_1_end::
PAGE_SYS_2::	MAPPED_OFF SYSPAGE, SYSPAGE_FPROT
PAGE_SYS_2_end::

	.macro	MAPPED_ON n
	orl	MAPREG,#MAPBIT
	PAGESEL	FPAGE, n
	.endm

PAGE_FLASH_0::	MAPPED_ON 0
PAGE_FLASH_0_end::
PAGE_FLASH_1::	MAPPED_ON 1
PAGE_FLASH_1_end::
PAGE_FLASH_2::	MAPPED_ON 2
PAGE_FLASH_2_end::
PAGE_FLASH_3::	MAPPED_ON 3
PAGE_FLASH_3_end::
PAGE_FLASH_4::	MAPPED_ON 4
PAGE_FLASH_4_end::
PAGE_FLASH_6::	MAPPED_ON 6
PAGE_FLASH_6_end::
PAGE_FLASH_7::	MAPPED_ON 7
PAGE_FLASH_7_end::

; ---- private helpers ----------------------------------------------------------------------

FLASH_HELPERS::

; A := FPROT, read through system page 2 with the map bit clear; the system page register
; is put back as found. Leaves the map bit clear.
read_fprot:
	anl	MAPREG,#~MAPBIT
	push	SYSPAGE
	acall	PAGE_SYS_2
	mov	a,FPROT
	pop	SYSPAGE
	ret

; Bank index of DPTR in A with the carry clear; the carry set (A = 0xFF) outside every bank.
; The parameter area and the routine images lie in no bank.
bank_of_dptr:
	mov	a,dph
	swap	a
	anl	a,#0x0F
	add	a,#(bank_table - bank_lookup)
bank_lookup = . + 1
	movc	a,@a+pc
	cjne	a,#BANK_COUNT,.+3
	cpl	c
	ret
bank_table:
	.db	0, 0, 1, 1, 2, 2, 4, 3, NO_BANK, NO_BANK, 3, 4, NO_BANK, NO_BANK, NO_BANK, NO_BANK

; From the five timing bytes at DPTR (lo, hi, y, z, x): R1:R2 := y*z (low, high);
; R4 := low and B := high byte of x*y - low(y*z)*(hi - lo). Changes A; keeps R3 and DPTR.
timing_products:
	mov	a,#2
	movc	a,@a+dptr
	mov	b,a
	mov	a,#3
	movc	a,@a+dptr
	mul	ab
	mov	r1,a
	mov	r2,b
	mov	a,#1
	movc	a,@a+dptr
	mov	r4,a
	clr	a
	movc	a,@a+dptr
	xch	a,r4
	clr	c
	subb	a,r4
	mov	b,r1
	mul	ab
	mov	r4,a
	push	b
	mov	a,#4
	movc	a,@a+dptr
	mov	b,a
	mov	a,#2
	movc	a,@a+dptr
	mul	ab
	clr	c
	subb	a,r4
	mov	r4,a
	pop	acc
	xch	a,b
	subb	a,b
	mov	b,a
	ret

; Program timing (flash page 6) from the table of bank A's kind; R3 := the block length.
; Changes A, B, R1, R2, R4; keeps DPTR.
load_program_timing:
	push	dpl
	push	dph
	mov	dptr,#PFLASH_TIMING
	mov	r3,#PAIR_BLOCK
	cjne	a,#FIRST_DATA_BANK,.+3
	jc	1$
	mov	dptr,#DFLASH_TIMING
	mov	r3,#DATA_BLOCK
1$:	acall	PAGE_FLASH_6
	mov	a,#7
	movc	a,@a+dptr
	rl	a
	anl	a,#0x1E
	mov	TP_1,a
	mov	a,#5
	movc	a,@a+dptr
	rr	a
	rr	a
	anl	a,#0xC0
	orl	TP_1,a
	clr	a
	movc	a,@a+dptr
	rl	a
	mov	TP_2,a
	mov	a,#1
	movc	a,@a+dptr
	rl	a
	mov	TP_3,a
	mov	a,#6
	movc	a,@a+dptr
	mov	TP_4,a
	acall	timing_products
	mov	TP_6,r1
	mov	TP_7,r2
	mov	TP_B,r4
	mov	TP_C,b
	pop	dph
	pop	dpl
	ret

; Erase timing (flash page 7) from the DFLASH table when the carry is set, else from the
; PFLASH table. Changes A, B, R1, R2, R4; keeps DPTR.
load_erase_timing:
	push	dpl
	push	dph
	mov	dptr,#(PFLASH_TIMING + ERASE_TIMING)
	jnc	1$
	mov	dptr,#(DFLASH_TIMING + ERASE_TIMING)
1$:	acall	PAGE_FLASH_7
	clr	a
	movc	a,@a+dptr
	rl	a
	anl	a,#PHASE_BITS
	mov	TE_1,a
	mov	a,#1
	movc	a,@a+dptr
	rl	a
	anl	a,#PHASE_BITS
	mov	FPHASE2,a
	acall	timing_products
	mov	TE_3,r1
	mov	TE_4,r2
	mov	TE_5,r4
	mov	TE_6,b
	pop	dph
	pop	dpl
	ret

; Requests mode A (REQ_ERASE or REQ_PROGRAM) on both controls of the selected pair, first
; control first, each time waiting for the matching mode bit. Changes A and B.
request_pair:
	orl	FCTL_A,a
	swap	a
	mov	b,a
1$:	mov	a,FCTL_A
	anl	a,b
	jz	1$
	mov	a,b
	swap	a
	orl	FCTL_B,a
2$:	mov	a,FCTL_B
	anl	a,b
	jz	2$
	ret

; FCMD start in page 0, then completion signalling on in page 3.
start_operation:
	mov	FPAGE,#PAGE_FCMD
	orl	FCMD,#CMD_START
	mov	FPAGE,#PAGE_FIRQCFG
	orl	FIRQCFG,#IRQ_ENABLE
	ret

; Map bit on, flash page 0 written whole.
select_page0:
	orl	MAPREG,#MAPBIT
	mov	FPAGE,#0
	ret

; ROM_SET_MARGIN's body: FMARGIN bits 3..0 := A bits 3..0 and bit 0 of SFR 0xDB := A bit 4,
; each register written once.
set_margin:
	push	MAPREG
	acall	select_page0
	push	acc
	xrl	a,FMARGIN
	anl	a,#0x0F
	xrl	FMARGIN,a
	pop	acc
	push	acc
	swap	a
	xrl	a,MARGIN_AUX
	anl	a,#0x01
	xrl	MARGIN_AUX,a
	pop	acc
	anl	a,#0x0F
	pop	MAPREG
	clr	c
	ret

; ROM_ERASE's body.
erase:
	push	MAPREG
	mov	a,r5
	anl	a,#PAIR_SECTORS
	mov	r5,a
	mov	a,r6
	anl	a,#PAIR_SECTORS
	mov	r6,a
	mov	a,r7
	anl	a,#PAIR_SECTORS
	mov	r7,a
	mov	a,r1
	anl	a,#DATA_HIGH_SECTORS
	mov	r1,a
	mov	a,r4
	anl	a,#DATA_HIGH_SECTORS
	mov	r4,a
	acall	read_fprot
	jnb	acc.0,1$		; FPROT bit 0: protection enabled
	jnb	acc.1,0$		; bit 1: everything protected
	ajmp	erase_refused
	; Only DFLASH sectors remain.
0$:	clr	a
	mov	r5,a
	mov	r6,a
	mov	r7,a
1$:	acall	PAGE_FLASH_0
	anl	FSEL_P,#PAIR_SELECT_KEEP
	acall	PAGE_FLASH_1
	anl	FSEL_P,#PAIR_SELECT_KEEP
	acall	PAGE_FLASH_2
	anl	FSEL_P,#PAIR_SELECT_KEEP
	acall	PAGE_FLASH_3
	mov	FSEL_DL,#0
	anl	FSEL_DH,#DATA_HIGH_KEEP
	acall	PAGE_FLASH_4
	mov	FSEL_DL,#0
	anl	FSEL_DH,#DATA_HIGH_KEEP
	; Selections; B collects the bank mask.
	mov	b,#0
	mov	a,r5
	jz	2$
	acall	PAGE_FLASH_0
	orl	FSEL_P,a
	orl	b,#0x01
2$:	mov	a,r6
	jz	3$
	acall	PAGE_FLASH_1
	orl	FSEL_P,a
	orl	b,#0x02
3$:	mov	a,r7
	jz	4$
	acall	PAGE_FLASH_2
	orl	FSEL_P,a
	orl	b,#0x04
4$:	mov	a,r0
	orl	a,r1
	jz	5$
	acall	PAGE_FLASH_3
	mov	FSEL_DL,r0
	mov	FSEL_DH,r1
	orl	b,#0x08
5$:	mov	a,r3
	orl	a,r4
	jz	6$
	acall	PAGE_FLASH_4
	mov	FSEL_DL,r3
	mov	FSEL_DH,r4
	orl	b,#0x10
	; A DFLASH selection wins: the PFLASH selects stay written but no pair is erased.
6$:	mov	a,b
	anl	a,#DATA_BANKS
	mov	r7,a
	setb	c
	jnz	7$
	mov	a,b
	anl	a,#PAIR_BANKS
	mov	r7,a
	clr	c
7$:	acall	load_erase_timing
	mov	a,r7
	jz	erase_refused
	jnb	acc.0,8$
	acall	PAGE_FLASH_0
	mov	a,#REQ_ERASE
	acall	request_pair
8$:	mov	a,r7
	jnb	acc.1,9$
	acall	PAGE_FLASH_1
	mov	a,#REQ_ERASE
	acall	request_pair
9$:	mov	a,r7
	jnb	acc.2,10$
	acall	PAGE_FLASH_2
	mov	a,#REQ_ERASE
	acall	request_pair
10$:	mov	a,r7
	jnb	acc.3,11$
	acall	PAGE_FLASH_3
	acall	request_data_erase
11$:	mov	a,r7
	jnb	acc.4,12$
	acall	PAGE_FLASH_4
	acall	request_data_erase
12$:	acall	start_operation
	pop	MAPREG
	clr	c
	ret
erase_refused:
	pop	MAPREG
	setb	c
	ret

; The DFLASH control of the selected page takes the erase request alone.
request_data_erase:
	mov	FCTL_D,#REQ_ERASE
1$:	mov	a,FCTL_D
	jnb	acc.6,1$
	ret

FLASH_HELPERS_end::

; ---- ROM_ERASE_ABORT: abort the erase of the first bank in erase mode ----------------------
; Issued only when the bank's phase register (AND 0x1E) equals FPHASE2. Changes A and the
; flash page register.

	.org	0xC379
ROM_ERASE_ABORT::
	push	MAPREG
	orl	MAPREG,#MAPBIT
	mov	FPAGE,#0
	mov	a,FCTL_A
	orl	a,FCTL_B
	jb	acc.6,abort_pair
	mov	FPAGE,#1
	mov	a,FCTL_A
	orl	a,FCTL_B
	jb	acc.6,abort_pair
	mov	FPAGE,#2
	mov	a,FCTL_A
	orl	a,FCTL_B
	jb	acc.6,abort_pair
	mov	FPAGE,#3
	mov	a,FCTL_D
	jb	acc.6,abort_data
	mov	FPAGE,#4
	mov	a,FCTL_D
	jb	acc.6,abort_data
abort_refused:
	pop	MAPREG
	setb	c
	ret
abort_pair:
	mov	FPAGE,#PAGE_FPHASE0
	mov	a,FPHASE
	sjmp	abort_compare
abort_data:
	mov	FPAGE,#PAGE_FPHASE1
	mov	a,FPHASE
abort_compare:
	anl	a,#PHASE_BITS
	mov	FPAGE,#PAGE_FPHASE2
	xrl	a,FPHASE2
	jnz	abort_refused
	mov	FPAGE,#PAGE_FCMD
	anl	FCMD,#~CMD_RUN_BIT
	pop	MAPREG
	clr	c
	ret
ROM_ERASE_ABORT_end::

; ---- ROM_READ_MODE_TEST: A = bank index; carry := its read-mode bit -----------------------
; A pair's second control is read only when the first shows read mode. A >= 5 reads nothing
; and clears the carry. Flash page register := A; A = the last control read.

	.org	0xC3CF
ROM_READ_MODE_TEST::
	push	MAPREG
	orl	MAPREG,#MAPBIT
	mov	FPAGE,a
	cjne	a,#BANK_COUNT,.+3
	jnc	2$
	cjne	a,#FIRST_DATA_BANK,.+3
	jnc	1$
	mov	a,FCTL_A
	jnb	acc.5,3$
	mov	a,FCTL_B
	sjmp	3$
1$:	mov	a,FCTL_D
3$:	mov	c,acc.5
2$:	pop	MAPREG
	ret
ROM_READ_MODE_TEST_end::

; ---- ROM_READ_PARAM: A := code byte at DPTR in the parameter area -------------------------
; Below 0xFC00: carry set and A = DPH.

	.org	0xC3F6
ROM_READ_PARAM::
	push	MAPREG
	mov	a,dph
	cjne	a,#PARAM_AREA_HI,.+3
	jc	1$
	clr	a
	movc	a,@a+dptr
1$:	pop	MAPREG
	ret
ROM_READ_PARAM_end::

; ---- ROM_ERASE ------------------------------------------------------------------------------
; R5, R6, R7: sectors of pairs 0, 1, 2; R0 and R1: DFLASH 0 sectors 0..7 and 8..9; R3 and R4:
; the same for DFLASH 1. Changes A, B, R1-R4, the flash page register; R5-R7 keep only
; their sector bits, R5-R7 are cleared when FPROT enables protection, and R7 ends as the
; mask of the banks put into erase mode. DPTR is kept.

	.org	0xC406
ROM_ERASE::
	ajmp	erase
ROM_ERASE_end::

; ---- ROM_PROGRAM: program one write block from internal RAM ------------------------------
; DPTR = first address of the block, R0 = its bytes (read with @R0). On a start: carry clear,
; DPTR and R0 advanced by the block length, flash page register 3. Refused (carry set):
; DPTR and R0 unchanged. Changes A, B, R1-R4.

	.org	0xC462
ROM_PROGRAM::
	push	MAPREG
	mov	a,dph
	cjne	a,#PARAM_AREA_HI,.+3
	jnc	program_refused
	acall	read_fprot
	mov	r2,a
	acall	bank_of_dptr
	jc	program_refused
	mov	r1,a
	mov	a,r2
	jnb	acc.0,1$		; FPROT bit 0: protection enabled
	jb	acc.1,program_refused	; bit 1: everything protected
	; Protection leaves only the DFLASH banks.
	cjne	r1,#FIRST_DATA_BANK,.+3
	jc	program_refused
1$:	mov	a,r1
	acall	load_program_timing
2$:	mov	a,@r0
	push	DPSEL
	mov	FDATA,a
	inc	dptr
	pop	DPSEL
	inc	r0
	djnz	r3,2$
	; The bank of the last byte written takes the request.
	mov	a,dpl
	jnz	3$
	dec	dph
3$:	dec	dpl
	acall	bank_of_dptr
	jc	6$
	mov	FPAGE,a
	cjne	a,#FIRST_DATA_BANK,.+3
	jnc	4$
	mov	a,#REQ_PROGRAM
	acall	request_pair
	sjmp	6$
4$:	orl	FCTL_D,#REQ_PROGRAM
5$:	mov	a,FCTL_D
	jnb	acc.7,5$
6$:	acall	start_operation
	inc	dptr
	pop	MAPREG
	clr	c
	ret
program_refused:
	pop	MAPREG
	setb	c
	ret
ROM_PROGRAM_end::

; ---- ROM_SET_MARGIN ---------------------------------------------------------------------
; FMARGIN bits 3..0 := A bits 3..0; bit 0 of SFR 0xDB (page 0) := A bit 4; A := A AND 0x0F;
; flash page register := 0; carry clear.

	.org	0xC4C6
ROM_SET_MARGIN::
	ajmp	set_margin
ROM_SET_MARGIN_end::

; ---- ROM_FCMD_CLR0 / ROM_FCMD_SET0: FCMD bit 0; flash page register := 0 ----------------
; While bit 0 is set the sequencer takes no start.

	.org	0xC4E4
ROM_FCMD_CLR0::
	push	MAPREG
	acall	select_page0
	anl	FCMD,#~CMD_HOLD_BIT
	pop	MAPREG
	clr	c
	ret
ROM_FCMD_CLR0_end::

	.org	0xC4EF
ROM_FCMD_SET0::
	push	MAPREG
	acall	select_page0
	orl	FCMD,#CMD_HOLD_BIT
	pop	MAPREG
	clr	c
	ret
ROM_FCMD_SET0_end::
