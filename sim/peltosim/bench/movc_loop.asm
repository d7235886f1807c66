; Reads 256 bytes of code with MOVC, 40000 times over (about 51 million instructions).
; BASE is set on the assembler's command line: watched flash or unwatched code.
        .area CODE (ABS,CODE)
        .org 0x0000
        mov  r5,#160
outer2: mov  r6,#250
outer:  mov  dptr,#BASE
        mov  r7,#0
inner:  clr  a
        movc a,@a+dptr
        inc  dptr
        djnz r7,inner
        djnz r6,outer
        djnz r5,outer2
        sjmp .
