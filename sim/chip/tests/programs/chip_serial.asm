; Transmits the text at `msg` in the serial mode set by the bytes the test patches in at
; 0x0100-0x0105 (SCON, PCON, TMOD, TH1, T2CON, RCAP2H; RCAP2L 0x0106), waiting for TI each time,
; then echoes every received byte until the input stays silent, with REN set.
        .include "chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        ljmp start
        .org 0x0040
start:  mov  dptr,#0x0100
        clr  a
        movc a,@a+dptr
        mov  SCON,a
        mov  a,#1
        movc a,@a+dptr
        mov  PCON,a
        mov  a,#2
        movc a,@a+dptr
        mov  TMOD,a
        mov  a,#3
        movc a,@a+dptr
        mov  TH1,a
        mov  TL1,a
        mov  a,#5
        movc a,@a+dptr
        mov  RCAP2H,a
        mov  TH2,a
        mov  a,#6
        movc a,@a+dptr
        mov  RCAP2L,a
        mov  TL2,a
        mov  a,#4
        movc a,@a+dptr
        mov  T2CON,a
        setb TR1
        mov  dptr,#msg
next:   clr  a
        movc a,@a+dptr
        jz   echo
        clr  TI
        mov  SBUF,a
        mov  0x31,0x30
wait:   inc  0x30               ; count polls of TI
        jnb  TI,wait
        inc  dptr
        sjmp next
echo:   orl  SCON,#0x10         ; REN
        mov  r2,#0
rx:     jb   RI,got
        djnz r2,rx
        sjmp done               ; 256 polls without a byte
got:    clr  RI
        mov  a,SBUF
        inc  a
        clr  TI
        mov  SBUF,a
txw:    jnb  TI,txw
        mov  r2,#0
        sjmp rx
done:   sjmp .
msg:    .ascii "Hi!"
        .db  0
        .org 0x0100
        .db  0x00, 0x00, 0x20, 0xFD, 0x00, 0xFF, 0xDC
