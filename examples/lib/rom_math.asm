; Wrappers for the arithmetic library in ROM: see rom_math.h.
;
; SDCC's mcs51 calling convention: the first argument arrives in DPL (least significant byte),
; DPH, B and A (most significant byte of a 32-bit value); the second one in the callee's
; _<name>_PARM_2 bytes in internal RAM, little-endian, which this module defines. A result
; leaves the same way as the first argument. The caller saves the registers it needs.
;
; The ROM takes 32-bit operands in R4 (most significant) to R7 and R0 to R3, 16-bit operands in
; R6:R7 and R4:R5, and leaves its result in place of the first operand.

        .module rom_math

; Entry points of the arithmetic library.
ROM_MUL16       = 0xE95C
ROM_DIVU16      = 0xE96E
ROM_MUL32       = 0xE9C3
ROM_DIVU32      = 0xEA4E
ROM_NEG32       = 0xEAE0
ROM_SHR32       = 0xEAEE
ROM_SAR32       = 0xEB01
ROM_SHL32       = 0xEB15
ROM_FSUB        = 0xEB2B
ROM_FADD        = 0xEB2F
ROM_FMUL        = 0xEC20
ROM_FDIV        = 0xED29
ROM_FCMP        = 0xEDC6
ROM_I32TOF      = 0xEE33
ROM_I16TOF      = 0xEE38
ROM_I8TOF       = 0xEE3D
ROM_FTOI32      = 0xEE71

        .globl  _rom_remainder16, _rom_remainder32

        .area   DSEG    (DATA)
_rom_remainder16:       .ds     2
_rom_remainder32:       .ds     4

; Defines the parameter bytes of a wrapper whose second argument is `size` bytes long.
        .macro  param name, size
        .globl  name'_PARM_2
name'_PARM_2:   .ds     size
        .endm

        .area   DSEG    (DATA)
        param   _rom_mul16, 2
        param   _rom_divu16, 2
        param   _rom_mul32, 4
        param   _rom_divu32, 4
        param   _rom_shr32, 1
        param   _rom_sar32, 1
        param   _rom_shl32, 1
        param   _rom_fadd, 4
        param   _rom_fsub, 4
        param   _rom_fmul, 4
        param   _rom_fdiv, 4
        param   _rom_fcmp, 4

        .area   CSEG    (CODE)

; First argument (16 bits, DPH:DPL) to R6:R7, second (PARM_2) to R4:R5.
        .macro  args16 name
        mov     r6, dph
        mov     r7, dpl
        mov     r4, name'_PARM_2 + 1
        mov     r5, name'_PARM_2
        .endm

; First argument (32 bits, A:B:DPH:DPL) to R4..R7.
        .macro  arg32
        mov     r4, a
        mov     r5, b
        mov     r6, dph
        mov     r7, dpl
        .endm

; Second argument (32 bits, PARM_2 little-endian) to R0..R3.
        .macro  arg32b name
        mov     r0, name'_PARM_2 + 3
        mov     r1, name'_PARM_2 + 2
        mov     r2, name'_PARM_2 + 1
        mov     r3, name'_PARM_2
        .endm

; R4..R7 back to the caller as a 32-bit result.
        .macro  ret32
        mov     dpl, r7
        mov     dph, r6
        mov     b, r5
        mov     a, r4
        ret
        .endm

; A 32-bit operation of two operands.
        .macro  binary32 name, entry
        .globl  name
name:
        arg32
        arg32b  name
        lcall   entry
        ret32
        .endm

; A 32-bit operation of one operand.
        .macro  unary32 name, entry
        .globl  name
name:
        arg32
        lcall   entry
        ret32
        .endm

; A 32-bit shift: the count (PARM_2, one byte) goes to R0.
        .macro  shift32 name, entry
        .globl  name
name:
        arg32
        mov     r0, name'_PARM_2
        lcall   entry
        ret32
        .endm

        .globl  _rom_mul16
_rom_mul16:
        args16  _rom_mul16
        lcall   ROM_MUL16
        mov     dpl, r7
        mov     dph, r6
        ret

        .globl  _rom_divu16
_rom_divu16:
        args16  _rom_divu16
        lcall   ROM_DIVU16
        mov     _rom_remainder16, r5
        mov     _rom_remainder16 + 1, r4
        mov     dpl, r7
        mov     dph, r6
        ret

        binary32 _rom_mul32, ROM_MUL32

        .globl  _rom_divu32
_rom_divu32:
        arg32
        arg32b  _rom_divu32
        lcall   ROM_DIVU32
        mov     _rom_remainder32, r3
        mov     _rom_remainder32 + 1, r2
        mov     _rom_remainder32 + 2, r1
        mov     _rom_remainder32 + 3, r0
        ret32

        unary32  _rom_neg32, ROM_NEG32
        shift32  _rom_shr32, ROM_SHR32
        shift32  _rom_sar32, ROM_SAR32
        shift32  _rom_shl32, ROM_SHL32
        binary32 _rom_fsub, ROM_FSUB
        binary32 _rom_fadd, ROM_FADD
        binary32 _rom_fmul, ROM_FMUL
        binary32 _rom_fdiv, ROM_FDIV

; Compare: the ROM leaves A = 0 when equal, otherwise the carry set when the first is greater.
        .globl  _rom_fcmp
_rom_fcmp:
        arg32
        arg32b  _rom_fcmp
        lcall   ROM_FCMP
        jz      00001$
        jc      00002$
        mov     dpl, #0xFF
        ret
00001$:
        mov     dpl, #0x00
        ret
00002$:
        mov     dpl, #0x01
        ret

        unary32  _rom_i32tof, ROM_I32TOF

; 16-bit integer (DPH:DPL) in R4:R5.
        .globl  _rom_i16tof
_rom_i16tof:
        mov     r4, dph
        mov     r5, dpl
        lcall   ROM_I16TOF
        ret32

; 8-bit integer (DPL) in R4.
        .globl  _rom_i8tof
_rom_i8tof:
        mov     r4, dpl
        lcall   ROM_I8TOF
        ret32

        unary32  _rom_ftoi32, ROM_FTOI32
