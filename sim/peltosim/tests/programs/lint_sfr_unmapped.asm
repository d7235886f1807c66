; Reads NMISTAT at its SFR address with the map bit set: NMISTAT is there only while the map bit
; is clear (system page 0), so the read reaches no register and finds 0 whatever happened.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  a,NMISTAT
        mov  dptr,#0x9F00
        movx @dptr,a
        sjmp .
