/*
 * Wrappers for the arithmetic library in ROM (integer and IEEE 754 single-precision routines at
 * fixed addresses from 0xE95C). The ROM keeps 32-bit values in R4 (most significant) to R7 with
 * the second operand in R0 to R3, and 16-bit values in R6:R7 with the second in R4:R5; the
 * wrappers move SDCC's arguments there and the result back.
 */
#ifndef PELTO_EXAMPLES_ROM_MATH_H
#define PELTO_EXAMPLES_ROM_MATH_H

#include <stdint.h>

#define ROM_MUL16  0xE95C
#define ROM_DIVU16 0xE96E
#define ROM_MUL32  0xE9C3
#define ROM_DIVU32 0xEA4E
#define ROM_NEG32  0xEAE0
#define ROM_SHR32  0xEAEE
#define ROM_SAR32  0xEB01
#define ROM_SHL32  0xEB15
#define ROM_FSUB   0xEB2B
#define ROM_FADD   0xEB2F
#define ROM_FMUL   0xEC20
#define ROM_FDIV   0xED29
#define ROM_FCMP   0xEDC6
#define ROM_I32TOF 0xEE33
#define ROM_I16TOF 0xEE38
#define ROM_I8TOF  0xEE3D
#define ROM_FTOI32 0xEE71

/* Remainders of the last divisions. */
extern __data uint16_t rom_remainder16;
extern __data uint32_t rom_remainder32;

uint16_t rom_mul16(uint16_t a, uint16_t b);   /* low 16 bits of the product */
uint16_t rom_divu16(uint16_t a, uint16_t b);  /* quotient; remainder in rom_remainder16 */
uint32_t rom_mul32(uint32_t a, uint32_t b);   /* low 32 bits of the product */
uint32_t rom_divu32(uint32_t a, uint32_t b);  /* quotient; remainder in rom_remainder32 */
uint32_t rom_neg32(uint32_t a);
uint32_t rom_shr32(uint32_t a, uint8_t n);    /* logical */
uint32_t rom_sar32(uint32_t a, uint8_t n);    /* arithmetic */
uint32_t rom_shl32(uint32_t a, uint8_t n);
float rom_fadd(float a, float b);
float rom_fsub(float a, float b);
float rom_fmul(float a, float b);
float rom_fdiv(float a, float b);
int8_t rom_fcmp(float a, float b);            /* 0 equal, 1 a greater, -1 a smaller */
float rom_i32tof(int32_t a);
float rom_i16tof(int16_t a);
float rom_i8tof(int8_t a);
int32_t rom_ftoi32(float a);

#endif
