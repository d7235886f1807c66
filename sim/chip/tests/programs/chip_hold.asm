; A level-triggered external 0 request that firmware sets and never clears: after each RETI
; exactly one instruction of main runs (INC R7) before the handler is entered again. Ten
; entries, then the handler disables the interrupt.
        .include "chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        ljmp start
        .org 0x0003
        ljmp ex0
        .org 0x0040
start:  mov  r6,#0
        mov  r7,#0
        mov  IE,#0x81           ; EA, EX0 (IT0 clear: level-triggered)
        setb IE0
main:   inc  r7
        sjmp main
ex0:    inc  r6
        cjne r6,#10,back
        clr  EA
        mov  0x30,r7
back:   reti
