; Reads the block at 0xA020 with MOVC while it is being programmed.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0xA020
        mov  r7,#32
        mov  a,#0x40
        acall capture
        acall program
        mov  dptr,#0x7025       ; the same block through the second view
        clr  a
        movc a,@a+dptr
        acall wait
        sjmp .
        .include "flash_subs.inc"
