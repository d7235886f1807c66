; The journal store (journal.inc) whose recovery replays the journal as it stands: a cut during
; the recovery leaves the journal whole until the slot is, so the next boot replays it again.
        .include "flash_regs.inc"
        .include "journal.inc"
recover:
        ajmp replay
        .include "flash_subs.inc"

        .org 0xAF80
        .db  MARKER, 0x01, 0x33, 0x8E   ; version 1, as shipped
