; Starts an erase of pair 2, aborts it in the second phase, then waits past its end.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  FPAGE,#2
        mov  FSEL_P,#0x04
        orl  FCTL_A,#0x04
        orl  FCTL_B,#0x04
        mov  FPAGE,#0
        orl  FCMD,#0x06
ph1:    mov  a,FPHASE
        jz   ph1
        anl  FCMD,#0xFD         ; 6 -> 4: abort
        mov  FPAGE,#2
        mov  0x30,FCTL_A
        mov  0x31,FCTL_B
        mov  0x32,FSEL_P
        mov  r6,#0              ; about 3.3 million cycles
        mov  r5,#0
        mov  r4,#30
w:      djnz r6,w
        djnz r5,w
        djnz r4,w
        sjmp .
