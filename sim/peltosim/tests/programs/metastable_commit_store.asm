; Writes its record (record.inc), then commits it with a marker of one bit in the next block. It
; shows the record in xdata 0x9F00 byte by byte through `get`, which reads the marker on every
; call and gives NO_RECORD while it reads clear, as a driver that checks its store on each access.
; Stable cells answer every read alike; a marker that a cut left half-programmed can read set at
; boot and clear later, and the store then shows a record it took as committed with bytes missing.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  dptr,#COMMIT
        clr  a
        movc a,@a+dptr
        cjne a,#COMMITTED,write
        sjmp shown
write:  acall put
        acall commit
shown:  mov  r6,#0
s_one:  acall get
        mov  dph,#0x9F
        mov  dpl,r6
        movx @dptr,a
        inc  r6
        cjne r6,#RECORD_SIZE,s_one
        sjmp .
COMMIT    = 0xAFA0              ; the block after the record's
COMMITTED = 0x01
NO_RECORD = 0xEE
; get: A = byte R6 of the record, or NO_RECORD when the marker does not read committed.
get:    mov  dptr,#COMMIT
        clr  a
        movc a,@a+dptr
        cjne a,#COMMITTED,none
        mov  dptr,#SLOT
        mov  a,r6
        movc a,@a+dptr
        ret
none:   mov  a,#NO_RECORD
        ret
; commit: captures the marker block (the marker, then zeros) and programs it.
commit: mov  dptr,#COMMIT
        mov  a,#COMMITTED
        mov  FDATA,a
        mov  r7,#RECORD_SIZE-1
        clr  a
zeros:  inc  dptr
        mov  FDATA,a
        djnz r7,zeros
        acall program
        acall wait
        ret
        .include "record.inc"
        .include "flash_subs.inc"
