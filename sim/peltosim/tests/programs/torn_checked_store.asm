; Writes its record once (record.inc) and trusts it only when marker and checksum agree: any
; other boot erases the slot's sector (what a torn program or erase left there) and programs the
; record again, then shows it.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#SLOT
        clr  a
        movc a,@a+dptr
        cjne a,#MARKER,redo
        acall summed
        jnc  redo
        acall show
redo:   mov  FPAGE,#3
        mov  FSEL_DH,#0x02      ; sector 9
        mov  FCTL_D,#0x04
        acall start
        acall wait
        acall put
        acall show
        .include "record.inc"
        .include "flash_subs.inc"
