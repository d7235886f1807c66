; The journal store (journal.inc) whose recovery first rewrites the journal in place (erase, then
; program the copy held in RAM) before replaying it. Every cut of the update alone is recovered
; from; a second cut during that rewrite, after the first cut left the slot broken, loses both
; copies of the record.
        .include "flash_regs.inc"
        .include "journal.inc"
recover:
        mov  dptr,#JOURNAL
        acall to_ram
        mov  a,#SECTOR_8
        acall erase
        mov  dptr,#JOURNAL
        acall from_ram
        ajmp replay
        .include "flash_subs.inc"

        .org 0xAF80
        .db  MARKER, 0x01, 0x33, 0x8E   ; version 1, as shipped
