; Sends "OK" and a line feed at 9600 baud (timer 1 in mode 2), writes 0x42 to xdata 0x9F00.
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
        jz   done
        mov  SBUF,a
wait:   jnb  TI,wait
        clr  TI
        inc  dptr
        sjmp next
done:   mov  dptr,#0x9F00
        mov  a,#0x42
        movx @dptr,a
        sjmp .
msg:    .ascii "OK"
        .db  0x0A, 0
