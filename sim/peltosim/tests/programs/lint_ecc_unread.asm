; Captures a byte for 0xA020 and reads 0xA020 back before any program: the check bits do not match
; the erased byte, the extension sets NMISTAT bit 6, and the program never looks.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0xA020
        mov  a,#0x41
        mov  FDATA,a
        clr  a
        movc a,@a+dptr
        sjmp .
