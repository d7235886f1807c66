; Captures the block at 0xA020 from its second byte on, then its first byte, and programs it.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0xA021
        mov  r7,#31
        mov  a,#0x41
        acall capture
        mov  dptr,#0xA020
        mov  r7,#1
        mov  a,#0x40
        acall capture
        acall program
        acall wait
        sjmp .
        .include "flash_subs.inc"
