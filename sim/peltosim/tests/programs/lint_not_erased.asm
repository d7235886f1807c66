; Programs the block at 0xA020 twice without an erase between.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0xA020
        mov  r7,#32
        mov  a,#0x40
        acall capture
        acall program
        acall wait
        mov  dptr,#0xA020
        mov  r7,#32
        mov  a,#0x80
        acall capture
        acall program
        acall wait
        sjmp .
        .include "flash_subs.inc"
