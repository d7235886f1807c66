; Serial mode 1 on Timer 1: the bit clock runs freely, TI comes in the cycle after the rollover
; that ends the frame, and a change of SMOD takes effect from the clock's next step.
; The test patches PCON's first value in at 0x0100: 0x80 (SMOD) or 0x00.
;
; Cycles from reset (each instruction's count is where it ends):
;   LJMP 2, MOV DPTR 4, CLR A 5, MOVC 7, MOV PCON,A 8, MOV TMOD 10, MOV TH1 12, MOV TL1 14,
;   MOV SCON 16, MOV IE 18, MOV R7 19, SETB TR1 20, NOP 21, MOV SBUF,A 22 (the write, W = 22),
;   101 x INC R7 up to 123, ORL PCON,#0x80 125 (SMOD set from there on, S = 125), INC R7 ...
; Timer 1 reloads 0xFF and counts from cycle 21: its k-th overflow is in cycle 20 + k. Its
; overflows feed the divide-by-16 of the bit clock, through the divide-by-2 while SMOD is clear;
; both counters are clear after reset. The frame begins at the first rollover after the write
; and TI is set at the tenth (S1P1 of the cycle after it), polled in the next cycle, where an
; INC R7 ends and the call follows.
; SMOD set from the start: rollovers every 16 overflows, in cycles 20 + 16m; the tenth after W
;   is m = 10, cycle 180. TI in 181, the call after the INC ending in 182:
;   R7 = 101 + (182 - 125) = 158.
; SMOD clear at first: rollovers every 32 overflows, cycles 20 + 32m: 52, 84, 116 after W. At
;   S, 105 overflows have come: 105 mod 32 = 9 = 4 x 2 + 1, so the divide-by-16 holds 4 and
;   the divide-by-2 1. From S on the divide-by-16 counts every overflow: 12 more to
;   its next rollover (cycle 137), then 16 each: the tenth of the frame, 7 after S, in cycle
;   137 + 6 x 16 = 233. TI in 234, the call after the INC ending in 235: R7 = 101 + 110 = 211.
; The handler keeps R7 at 0x30 and stops.
        .include "chip_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        ljmp start
        .org 0x0023
        mov  0x30,r7
        clr  EA
        sjmp .
        .org 0x0110
start:  mov  dptr,#0x0100
        clr  a
        movc a,@a+dptr
        mov  PCON,a
        mov  TMOD,#0x20
        mov  TH1,#0xFF
        mov  TL1,#0xFF
        mov  SCON,#0x40         ; mode 1
        mov  IE,#0x90           ; EA, ES
        mov  r7,#0
        setb TR1
        nop
        mov  SBUF,a
        .rept 101
        inc  r7
        .endm
        orl  PCON,#0x80
        .rept 240
        inc  r7
        .endm
        clr  EA
        sjmp .
