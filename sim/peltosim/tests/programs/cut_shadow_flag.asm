; Keeps a "busy" flag in external data over the flash (xdata 0x7F00, in the ECC shadow, which a
; power cut keeps): each boot erases DFLASH 0 sector 8, then sets the flag, works, and clears it.
; A boot that finds the flag set reports 0xEE at xdata 0x9F00 (2 otherwise). No flash operation
; runs while the flag is set, so only a cut after the flag's own write finds the failure.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0x7F00
        movx a,@dptr
        cjne a,#0xB5,fresh
        mov  a,#0xEE
        sjmp report
fresh:  mov  FPAGE,#3
        mov  FSEL_DH,#0x01
        mov  FCTL_D,#0x04
        acall start
        acall wait
        mov  dptr,#0x7F00
        mov  a,#0xB5
        movx @dptr,a
        mov  r7,#0              ; the work: about 512 cycles
work:   djnz r7,work
        clr  a
        movx @dptr,a
        mov  a,#2
report: mov  dptr,#0x9F00
        movx @dptr,a
        sjmp .
        .include "flash_subs.inc"
