; Programs the block at 0xA020 after capturing only its first half.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0xA020
        mov  r7,#16
        mov  a,#0x40
        acall capture
        acall program
        acall wait
        sjmp .
        .include "flash_subs.inc"
