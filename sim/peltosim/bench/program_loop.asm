; COUNT program operations (defined before this file, 1 to 65535), one after the other over the
; four blocks of DFLASH 0 sector 8: the firmware whose sweep grows with its length. Each boot
; first writes 0x01 to xdata 0x9F00 (the point --sweep-until xdata:0x9F00=0x01 waits for),
; then programs, and writes 0x02 to xdata 0x9F01 when done.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0x9F00
        mov  a,#1
        movx @dptr,a
        mov  r2,#>COUNT
        mov  r3,#<COUNT
next:   mov  a,r3               ; block 0xAF00 + (count mod 4) * 32
        anl  a,#3
        swap a
        rl   a
        mov  dpl,a
        mov  dph,#0xAF
        mov  r7,#32
        mov  a,r3
        acall capture
        acall program
        acall wait
        mov  a,r3
        jnz  low
        dec  r2
low:    dec  r3
        mov  a,r3
        orl  a,r2
        jnz  next
        mov  dptr,#0x9F01
        mov  a,#2
        movx @dptr,a
        sjmp .
        .include "flash_subs.inc"
