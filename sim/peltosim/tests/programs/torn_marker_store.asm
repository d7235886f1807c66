; Writes its record once (record.inc) and trusts the marker byte alone: a boot that finds the
; marker shows the slot, any other boot programs the record (again) and shows it. A program that a
; cut tore can leave the marker whole and a data bit unset, and the store shows the torn record.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#SLOT
        clr  a
        movc a,@a+dptr
        cjne a,#MARKER,write
        acall show
write:  acall put
        acall show
        .include "record.inc"
        .include "flash_subs.inc"
