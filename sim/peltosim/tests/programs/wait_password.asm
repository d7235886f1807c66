; Waits until the password byte (code 0xFE80) is no longer 0, then halts: run with the status
; window open while a password is typed into it.
        .area CODE (ABS,CODE)
        .org 0x0000
        mov  dptr,#0xFE80
wait:   clr  a
        movc a,@a+dptr
        jz   wait
        sjmp .
