; Erases DFLASH 0 sectors 0 and 9 and records the phase registers the program sees.
        .include "flash_regs.inc"
        .area CODE (ABS,CODE)
        .org 0x0000
        orl  MAPSFR,#0x01
        mov  FPAGE,#3
        mov  FSEL_DL,#0x01
        mov  FSEL_DH,#0x02
        mov  FCTL_D,#0x04
        mov  FPAGE,#0
        orl  FCMD,#0x06
        mov  FPAGE,#1
        mov  0x30,FPHASE        ; first phase: 0x00
ph1:    mov  a,FPHASE
        jz   ph1
        mov  0x31,a             ; second phase: 0x1F
        mov  FPAGE,#7
        mov  0x32,FCTL_D        ; FPHASE2: 0x1E
        mov  FPAGE,#3
done:   mov  a,FCTL_D
        jnb  acc.5,done
        mov  0x34,FSEL_DL
        mov  0x35,FSEL_DH
        sjmp .
