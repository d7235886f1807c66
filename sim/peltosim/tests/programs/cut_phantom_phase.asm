; After every boot it waits longer than an erase's first phase, records FPHASE2 at xdata 0x9F00,
; then erases DFLASH 0 sector 8 unless it is erased already. A power cut ends an operation and
; everything the flash controller knew of it: a boot after a cut inside the erase must still find
; FPHASE2 at its reset value, not a second phase armed by the operation that was cut off.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  r6,#0              ; 256 x 256 passes of DJNZ: about 131000 cycles
outer:  mov  r7,#0
inner:  djnz r7,inner
        djnz r6,outer
        mov  FPAGE,#7
        mov  a,FCTL_D           ; FPHASE2
        mov  dptr,#0x9F00
        movx @dptr,a
        mov  dptr,#0xAF00
        clr  a
        movc a,@a+dptr
        jz   done               ; erased already
        mov  FPAGE,#3
        mov  FSEL_DH,#0x01
        mov  FCTL_D,#0x04
        acall start
        acall wait
done:   sjmp .
        .include "flash_subs.inc"

        .org 0xAF00
        .db  0x5A
