; Request flags written by the program, and when the poll sees them. The flags are sampled in
; every machine cycle and a poll uses the sample of the cycle before it; a call is made only
; when the polling cycle is the last cycle of an instruction.
;
; Trials 1-5 (tag in R6): a flag is set by SETB TF0, ORL TCON, SETB TI, MOV SCON or SETB IE0,
; with EA on. The writing instruction's own poll sees the sample of the cycle before the write
; (clear): no call after it. MOV 0x07,#1 follows, 2 cycles: its first cycle samples the flag,
; its second polls that sample and the call is made right after it, before any INC R7. The
; handler logs R6 and R7: R7 = 1 in every trial.
; Trials 6-8: a flag set long before with EA off, then SETB EA (a write of IE: the poll at its
; end makes no call) and an instruction that clears the flag (CLR TF0, ANL TCON 2 cycles, CLR TI).
; That instruction's last cycle polls the sample of the cycle before its write, still set:
; the call is made after it, R7 = 0, although the flag is clear by then.
; Trial 9: the flag is cleared one instruction before SETB EA: every later sample is clear, no
; call, no log entry. The log ends with 0xEE.
        .include "chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        ljmp start
        .org 0x0003
        ljmp log
        .org 0x000B
        ljmp log
        .org 0x0023
        ljmp log
        .org 0x0040
        .macro sled
        .rept 4
        inc  r7
        .endm
        .endm
        .macro set_trial tag, setter
        mov  r6,#tag
        mov  r7,#0
        setter
        mov  0x07,#1            ; 2 cycles, sets R7 to 1
        sled
        .endm
        .macro clear_trial tag, setter, clearer
        clr  EA
        mov  r6,#tag
        setter
        nop
        mov  r7,#0
        setb EA
        clearer
        sled
        .endm
start:  mov  r1,#0x30           ; the log
        setb IT0                ; IE0 edge-triggered: the call clears it
        mov  IE,#0x93           ; EA, ES, ET0, EX0
        set_trial 1, ^/setb TF0/
        set_trial 2, ^/orl  TCON,#0x20/
        set_trial 3, ^/setb TI/
        set_trial 4, ^/mov  SCON,#0x02/
        set_trial 5, ^/setb IE0/
        clear_trial 6, ^/setb TF0/, ^/clr  TF0/
        clear_trial 7, ^/setb TF0/, ^/anl  TCON,#0xDF/
        clear_trial 8, ^/setb TI/, ^/clr  TI/
        clr  EA
        mov  r6,#9
        setb TF0
        nop
        clr  TF0
        mov  r7,#0
        setb EA
        nop
        sled
        clr  EA
        mov  @r1,#0xEE
        sjmp .
log:    mov  @r1,0x06
        inc  r1
        mov  @r1,0x07
        inc  r1
        clr  TI
        reti
