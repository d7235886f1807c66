; Captures a byte that is never programmed, then reads the flash byte with MOVC.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0x0300
        mov  a,#0x55
        mov  FDATA,a
        mov  FDATA,#0x55        ; MOV direct,#data is not captured
        anl  MAPSFR,#0xFE
        mov  SYSPAGE,#0
        mov  0x30,NMISTAT       ; before the read
        mov  dptr,#0x0300
        clr  a
        movc a,@a+dptr
        mov  0x31,NMISTAT       ; after
        sjmp .
