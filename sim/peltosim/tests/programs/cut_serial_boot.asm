; Says "OK" on the serial line as soon as it finds its record (DFLASH 0 at 0xAF00: marker 0x5A,
; version), then updates the record in place (erase the sector, program version 2). A boot that
; finds no record says "LOST". A cut between the erase's commit and the program's leaves a boot
; that says only "LOST", after the "OK" of the boot before the cut.
        .include "flash_regs.inc"
        SCON = 0x98
        SBUF = 0x99
        TMOD = 0x89
        TH1  = 0x8D
        TR1  = 0x8E
        TI   = 0x99
        .area CODE (ABS,CODE)
        .org 0x0000
        mov  SCON,#0x50
        mov  TMOD,#0x20
        mov  TH1,#0xFD
        setb TR1
        orl  MAPSFR,#0x01
        mov  dptr,#0xAF00
        clr  a
        movc a,@a+dptr
        cjne a,#0x5A,lost
        mov  dptr,#ok
        acall send
        mov  dptr,#0xAF01
        clr  a
        movc a,@a+dptr
        cjne a,#1,done          ; updated already
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
done:   sjmp .
lost:   mov  dptr,#gone
        acall send
        sjmp done
; send: the zero-ended text at DPTR.
send:   clr  a
        movc a,@a+dptr
        jz   sent
        mov  SBUF,a
txwait: jnb  TI,txwait
        clr  TI
        inc  dptr
        sjmp send
sent:   ret
ok:     .ascii "OK"
        .db  0x0A, 0
gone:   .ascii "LOST"
        .db  0x0A, 0
        .include "flash_subs.inc"

        .org 0xAF00
        .db  0x5A, 0x01
