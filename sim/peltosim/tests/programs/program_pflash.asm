; Programs the 64-byte block at 0x1240 from bytes 0x80.. and reads it back with MOVC.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0x1240
        mov  r7,#64
        mov  a,#0x80
cap:    mov  FDATA,a
        inc  dptr
        inc  a
        djnz r7,cap
        mov  FPAGE,#0
        orl  FCTL_A,#0x08
        orl  FCTL_B,#0x08
        orl  FCMD,#0x06
        mov  FPAGE,#3
        orl  FIRQCFG,#0x01
wait:   mov  a,FIRQCFG
        jnb  acc.5,wait
        mov  FPAGE,#0
        mov  0x30,FCTL_A        ; controls after completion
        mov  0x31,FCTL_B
        mov  dptr,#0x1240       ; read every byte back, sum into 0x32
        mov  r7,#64
        mov  0x32,#0
rd:     clr  a
        movc a,@a+dptr
        add  a,0x32
        mov  0x32,a
        inc  dptr
        djnz r7,rd
        anl  MAPSFR,#0xFE
        mov  SYSPAGE,#0
        mov  0x33,NMISTAT
        sjmp .
