; Starts an erase of DFLASH 0 sector 9 and ends without waiting for it.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  FPAGE,#3
        mov  FSEL_DH,#0x02
        mov  FCTL_D,#0x04
        acall start
        sjmp .
        .include "flash_subs.inc"
