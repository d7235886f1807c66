; Sends "OK" and a line feed at 9600 baud, then spins for ever (a loop that is no self jump, so
; the run never ends by itself).
        .include "../../../chip/tests/programs/chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        mov  SCON,#0x50
        mov  TMOD,#0x20
        mov  TH1,#0xFD
        setb TR1
        mov  dptr,#msg
next:   clr  a
        movc a,@a+dptr
        jz   spin
        mov  SBUF,a
wait:   jnb  TI,wait
        clr  TI
        inc  dptr
        sjmp next
spin:   inc  a
        sjmp spin
msg:    .ascii "OK"
        .db  0x0A, 0
