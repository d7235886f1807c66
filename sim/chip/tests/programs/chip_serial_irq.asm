; Transmits from the serial interrupt: each TI entry clears TI and sends the next count in R7,
; in the mode the test patches in at 0x0100-0x0106 (SCON, PCON, TMOD, TH1, T2CON, RCAP2H,
; RCAP2L), while main waits in an idle loop.
        .include "chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        ljmp start
        .org 0x0023
        clr  TI
        inc  r7
        mov  SBUF,r7
        reti
        .org 0x0040
        .macro patched n, reg
        mov  a,#n
        movc a,@a+dptr
        mov  reg,a
        .endm
start:  mov  dptr,#0x0100
        patched 0, SCON
        patched 1, PCON
        patched 2, TMOD
        patched 3, TH1
        patched 3, TL1
        patched 5, RCAP2H
        patched 5, TH2
        patched 6, RCAP2L
        patched 6, TL2
        patched 4, T2CON
        setb TR1
        mov  IE,#0x90           ; EA, ES
        mov  SBUF,#0x40
        sjmp .
