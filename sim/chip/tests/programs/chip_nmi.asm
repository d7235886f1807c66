; The flash NMI: NMICON bit 2 set. The NMI handler counts entries in R5 and clears NMISTAT only
; on its second entry (so the first RETI requests it again). The timer 0 handler (high priority)
; spins until the NMI has been taken, which must happen inside it.
        .include "chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        ljmp start
        .org 0x000B
        ljmp t0isr
        .org 0x0073
        inc  r5
        cjne r5,#2,keep
        anl  MAPSFR,#0xFE
        mov  SYSPAGE,#0
        mov  NMISTAT,#0
keep:   reti
        .org 0x00A0
start:  anl  MAPSFR,#0xFE
        mov  SYSPAGE,#0
        mov  NMICON,#0x04
        mov  r5,#0
        mov  r4,#0
        mov  TMOD,#0x02
        mov  IP,#0x02           ; timer 0 high
        mov  IE,#0x82
        setb TR0
loop:   sjmp loop
t0isr:  inc  r4
t0w:    cjne r5,#0,t0done       ; the first entry waits here for the NMI
        sjmp t0w
t0done: reti
