; Serial mode 0: TI and RI at the start of the tenth machine cycle after the write that starts
; the transfer, and no RB8.
;
; The write of SBUF (MOV SBUF,A, one cycle, W its last) happens at its S6P2. The first cycle
; after it is W+1, so the tenth is W+10: TI is set at S1P1 of W+10 and sampled at S5P2 of that
; cycle, which the next cycle, W+11, polls. One-cycle INC R7s run in W+1 ... W+11, the last of
; them polls TI and the call follows: R7 = 11 in the handler, SCON = 0x02 (TI only).
; Reception: MOV SCON,#0x10 (2 cycles, W its last) sets REN with RI clear; RI is set at S1P1
; of the tenth cycle after that write, so again R7 = 11, and SCON = 0x11: REN and RI, RB8 left
; clear (mode 0 has no ninth bit). The test gives the input one byte, 0x5A, found in SBUF.
; Log at 0x30: R7, SCON for the transmission; R7, SCON, SBUF for the reception.
        .include "chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        ljmp start
        .org 0x0023
        mov  @r1,0x07
        inc  r1
        mov  @r1,SCON
        inc  r1
        jnb  RI,1$
        mov  @r1,SBUF
        inc  r1
1$:     anl  SCON,#0x10         ; TI and RI cleared, REN kept: no byte is left to start
        reti
        .org 0x0040
        .macro sled
        .rept 16
        inc  r7
        .endm
        .endm
start:  mov  r1,#0x30
        mov  SCON,#0x00         ; mode 0, REN clear
        mov  IE,#0x90           ; EA, ES
        mov  r7,#0
        mov  SBUF,a
        sled
        mov  r7,#0
        mov  SCON,#0x10         ; REN
        sled
        clr  EA
        sjmp .
