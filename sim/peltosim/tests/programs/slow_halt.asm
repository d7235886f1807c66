; Programs one block, then counts down about 400 million cycles before it halts: every run,
; cut ones too, takes seconds, long enough to see whether it outlives a sweep that is killed.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#0xA020
        mov  r7,#32
        clr  a
        acall capture
        acall program
        acall wait
        mov  r4,#8              ; 8 * 256 * 256 * 256 turns of three cycles
        mov  r5,#0
        mov  r6,#0
        mov  r7,#0
count:  inc  0x30
        djnz r7,count
        djnz r6,count
        djnz r5,count
        djnz r4,count
        mov  dptr,#0x9F00
        mov  a,#1
        movx @dptr,a
        sjmp .
        .include "flash_subs.inc"
