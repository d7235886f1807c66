; Programs one block and halts, unless the block is programmed already at boot: then it spins
; without end (a loop that is no jump to itself). Every cut after the program's commit hangs.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0xA020
        clr  a
        movc a,@a+dptr
        jnz  spin
        mov  r7,#32
        mov  a,#1
        acall capture
        acall program
        acall wait
        mov  r6,#0
        mov  r7,#0
count:  djnz r7,count
        djnz r6,count
        mov  dptr,#0x9F00
        mov  a,#1
        movx @dptr,a
        sjmp .
spin:   inc  0x30
        sjmp spin
        .include "flash_subs.inc"
