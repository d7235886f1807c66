; Soak program for scripts/soak: erases DFLASH 0 and programs all of it again, block by block,
; pass after pass, checking every byte through the bank's second view. scripts/soak puts the line
; "PASSES = N" before this text. Counters in internal RAM: 0x30-0x31 passes done, 0x32-0x33
; verify failures, 0x34 passes that ended with the ECC error bit set, 0x35-0x36 erase check
; failures.
MAPSFR  = 0x8F
SYSPAGE = 0xBF
FPAGE   = 0xDF
FDATA   = 0xF7
FCTL_D  = 0xD2      ; page 3: DFLASH 0 control
FSEL_DL = 0xD3
FSEL_DH = 0xD4
FCMD    = 0xDE      ; page 0
NMISTAT = 0xBC      ; map bit clear, system page 0
        .area CODE (ABS,CODE)
        .org 0x0000
        mov  sp,#0x60
        mov  r0,#0x30
        clr  a
zero:   mov  @r0,a
        inc  r0
        cjne r0,#0x38,zero
pass:   orl  MAPSFR,#0x01
        ; erase every sector of DFLASH 0
        mov  FPAGE,#3
        mov  FSEL_DL,#0xFF
        mov  FSEL_DH,#0x03
        mov  FCTL_D,#0x04
        lcall start
        ; the first byte of every block reads 0 through the second view
        mov  dptr,#0x7000
echk:   clr  a
        movc a,@a+dptr
        jz   eok
        inc  0x35
        mov  a,0x35
        jnz  eok
        inc  0x36
eok:    mov  a,dpl
        add  a,#32
        mov  dpl,a
        jnc  echk
        inc  dph
        mov  a,dph
        cjne a,#0x80,echk
        ; program 128 blocks of 32 bytes: the byte at address X is (X & 0xFF) + passes done
        mov  dptr,#0xA000
blk:    mov  r7,#32
cap:    mov  a,dpl
        add  a,0x30
        mov  FDATA,a
        inc  dptr
        djnz r7,cap
        mov  FPAGE,#3
        orl  FCTL_D,#0x08
        lcall start
        mov  a,dph
        cjne a,#0xB0,blk
        ; every byte through the second view
        mov  dptr,#0x7000
vchk:   clr  a
        movc a,@a+dptr
        mov  r6,a
        mov  a,dpl
        add  a,0x30
        xrl  a,r6
        jz   vok
        inc  0x32
        mov  a,0x32
        jnz  vok
        inc  0x33
vok:    inc  dptr
        mov  a,dph
        cjne a,#0x80,vchk
        ; ECC errors of this pass, then clear the bit
        anl  MAPSFR,#0xFE
        mov  SYSPAGE,#0
        mov  a,NMISTAT
        jnb  acc.6,noecc
        inc  0x34
noecc:  mov  NMISTAT,#0
        ; count the pass; stop after PASSES
        inc  0x30
        mov  a,0x30
        jnz  cnt
        inc  0x31
cnt:    mov  a,0x30
        cjne a,#<PASSES,next
        mov  a,0x31
        cjne a,#>PASSES,next
        sjmp .
next:   ljmp pass

; starts the operation requested on DFLASH 0 and waits until the bank is back in read mode
start:  mov  FPAGE,#0
        orl  FCMD,#0x06
        mov  FPAGE,#3
wait:   mov  a,FCTL_D
        jnb  acc.5,wait
        ret
