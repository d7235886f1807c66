; Writes external data at 0xA000, which is the ECC shadow of DFLASH 0's first byte.
        .area CODE (ABS,CODE)
        .org 0x0000
        mov  dptr,#0xA000
        mov  a,#0x01
        movx @dptr,a
        sjmp .
