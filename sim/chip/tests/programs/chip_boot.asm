; Counts boots in internal RAM 0x30 and external RAM 0x9000 and 0x1000 (the last lies in the
; flash's ECC shadow), stores SP and P1 as found at each boot, then waits in an idle loop with
; timer 0 running and its interrupt enabled.
        .include "chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        ljmp start
        .org 0x000B
        reti
        .org 0x0040
start:  mov  0x31,SP
        mov  0x32,0x90          ; P1
        mov  0x33,IE
        inc  0x30
        mov  dptr,#0x9000
        movx a,@dptr
        inc  a
        movx @dptr,a
        mov  dptr,#0x1000
        movx a,@dptr
        inc  a
        movx @dptr,a
        mov  SP,#0x60
        mov  0x90,#0x12         ; P1
        mov  TMOD,#0x02
        mov  IE,#0x82
        setb TR0
loop:   sjmp loop
