; Two priority levels. Timer 0 (low) interrupts main; its handler sets IE0 (low: must wait) and
; TF1 (high: must nest at once), then logs its end. Each handler appends its tag to a log at
; xdata 0x9000 (pointer in R0 of bank 0 via DPTR kept in 0x40/0x41).
        .include "chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        ljmp start
        .org 0x0003
        mov  a,#0xE0            ; external 0 (low)
        acall log
        reti
        .org 0x000B
        ljmp t0isr
        .org 0x001B
        mov  a,#0x1B            ; timer 1 (high)
        acall log
        reti
        .org 0x0040
start:  mov  0x40,#0x90
        mov  0x41,#0x00
        mov  TMOD,#0x02         ; timer 0 mode 2, timer 1 stopped
        mov  TH0,#0x00
        mov  TL0,#0xF0
        setb IT0                ; IE0 edge-triggered: cleared on entry
        mov  IP,#0x08           ; timer 1 high
        mov  IE,#0x8B           ; EA, ET1, ET0, EX0
        setb TR0
wait:   mov  a,0x42
        jz   wait
        clr  EA
        sjmp .
t0isr:  clr  TR0
        mov  a,#0x0B
        acall log
        setb IE0                ; same level: waits for RETI
        setb TF1                ; high: nests at once
        nop
        mov  a,#0xBE            ; end of the timer 0 handler
        acall log
        mov  0x42,#1
        reti
log:    push dpl
        push dph
        mov  dph,0x40
        mov  dpl,0x41
        movx @dptr,a
        inc  dptr
        mov  0x40,dph
        mov  0x41,dpl
        pop  dph
        pop  dpl
        ret
