; Timer 0 in the mode, reload and start value the test patches in at 0x0100-0x0103 (TMOD, TH0,
; TL0, IE); its handler counts entries in R6, timer 1's in R5. Main loop: an idle loop.
        .include "chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        ljmp start
        .org 0x000B
        inc  r6
        reti
        .org 0x001B
        inc  r5                 ; TH0's overflow in mode 3
        reti
        .org 0x0040
start:  mov  dptr,#0x0100
        clr  a
        movc a,@a+dptr
        mov  TMOD,a
        mov  a,#1
        movc a,@a+dptr
        mov  TH0,a
        mov  a,#2
        movc a,@a+dptr
        mov  TL0,a
        mov  a,#3
        movc a,@a+dptr
        mov  IE,a
        setb TR0
        setb TR1
loop:   sjmp loop
        .org 0x0100
        .db  0x31, 0x00, 0x00, 0x82
