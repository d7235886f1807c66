; A store that rewrites its one record in place: it erases the record's sector (DFLASH 0
; sector 8), then programs version 2 of the record. A power cut after the erase has committed
; and before the program has loses the record; everywhere else the next boot finishes the job.
; Result at xdata 0x9F00: the version found (2 after an update), 0xEE when the record is lost.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0xAF00
        clr  a
        movc a,@a+dptr
        cjne a,#0x5A,lost       ; no marker
        mov  a,#1
        movc a,@a+dptr
        cjne a,#1,report        ; already updated
        mov  FPAGE,#3
        mov  FSEL_DH,#0x01
        mov  FCTL_D,#0x04
        acall start
        acall wait
        mov  dptr,#0xAF00
        mov  a,#0x5A
        mov  FDATA,a
        inc  dptr
        mov  a,#0x02
        mov  FDATA,a
        inc  dptr
        mov  r7,#30
        clr  a
        acall capture
        acall program
        acall wait
        mov  a,#2
report: mov  dptr,#0x9F00
        movx @dptr,a
        sjmp .
lost:   mov  a,#0xEE
        sjmp report
        .include "flash_subs.inc"

        .org 0xAF00
        .db  0x5A, 0x01         ; the record as shipped: marker, version 1
