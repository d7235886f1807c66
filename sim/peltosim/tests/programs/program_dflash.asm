; Programs 32 bytes at 0xA020 and reads them through the second view at 0x7020.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0xA020
        mov  r7,#32
        mov  a,#0x40
cap:    mov  FDATA,a
        inc  dptr
        inc  a
        djnz r7,cap
        mov  FPAGE,#3
        orl  FCTL_D,#0x08
        mov  0x30,FCTL_D        ; acknowledged at once: 0x80
        mov  FPAGE,#0
        orl  FCMD,#0x06
        mov  FPAGE,#3
wait:   mov  a,FCTL_D
        jnb  acc.5,wait
        mov  dptr,#0x703F
        clr  a
        movc a,@a+dptr
        mov  0x31,a
        anl  MAPSFR,#0xFE
        mov  SYSPAGE,#0
        mov  0x33,NMISTAT
        sjmp .
