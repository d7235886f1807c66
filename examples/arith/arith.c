/*
 * Arithmetic library example: calls the integer and floating-point routines of the ROM through
 * the wrappers in rom_math.h and checks every answer. Integer results must equal what the C
 * compiler computes itself; floating-point results of exact operations must be exact, and
 * rounded results must lie within one unit in the last place of the compiler's own.
 *
 * Report area (see report.h), from 0x9F08, for the first check that failed:
 *   0x9F08  the result it got (4 bytes, little-endian)
 *   0x9F0C  the result it expected (4 bytes, little-endian)
 */
#include <stdint.h>

#include "report.h"
#include "rom_math.h"

#define GOT      ((volatile __xdata uint32_t *)(REPORT_ADDRESS + 0x08))
#define EXPECTED ((volatile __xdata uint32_t *)(REPORT_ADDRESS + 0x0C))

static uint8_t number;

static void check(uint32_t got, uint32_t expected, uint8_t ok)
{
    ++number;
    if (!ok && REPORT->failed == 0) {
        *GOT = got;
        *EXPECTED = expected;
    }
    report_check(number, ok);
}

static void check_equal(uint32_t got, uint32_t expected)
{
    check(got, expected, got == expected);
}

union bits {
    float f;
    uint32_t u;
};

static uint32_t bits_of(float f)
{
    union bits b;
    b.f = f;
    return b.u;
}

/* Exactly the same float. */
static void check_float(float got, float expected)
{
    check_equal(bits_of(got), bits_of(expected));
}

/* Within one unit in the last place (same sign, neighbouring bit patterns). */
static void check_float_near(float got, float expected)
{
    const uint32_t g = bits_of(got), e = bits_of(expected);
    const uint32_t d = g > e ? g - e : e - g;
    check(g, e, ((g ^ e) & 0x80000000UL) == 0 && d <= 1);
}

struct op16 {
    uint16_t a, b, product, quotient, remainder;
};
#define OP16(a, b) {a, b, (uint16_t)((uint32_t)(a) * (b)), (a) / (b), (a) % (b)}
static const struct op16 ops16[] = {
    OP16(50000u, 300u), OP16(300u, 200u), OP16(1234u, 56u), OP16(65535u, 65535u),
    OP16(0x8000u, 2u), OP16(1u, 65535u), OP16(65535u, 1u), OP16(0u, 7u), OP16(255u, 255u),
};

struct op32 {
    uint32_t a, b, product, quotient, remainder;
};
#define OP32(a, b) {a, b, (uint32_t)((a) * (b)), (a) / (b), (a) % (b)}
static const struct op32 ops32[] = {
    OP32(100000UL, 300UL), OP32(0xFFFFFFFFUL, 0xFFFFFFFFUL), OP32(123456789UL, 1000UL),
    OP32(0x12345678UL, 0x10000UL), OP32(3000000000UL, 7UL), OP32(65537UL, 65535UL),
    OP32(1UL, 0xFFFFFFFFUL), OP32(0UL, 3UL),
};

struct shift {
    uint32_t value;
    uint8_t n;
};
static const struct shift shifts[] = {
    {0x80000001UL, 1}, {0x80000000UL, 4}, {0x12345678UL, 8}, {0xF0F0F0F0UL, 16},
    {0x89ABCDEFUL, 31}, {0x00000001UL, 31}, {0xDEADBEEFUL, 0},
};

void main(void)
{
    uint8_t i;
    volatile float f1, f2; /* volatile: the compiler must not fold what it computes itself */

    report_start();

    /* 16-bit multiply and divide (checks 1-27). */
    for (i = 0; i < sizeof ops16 / sizeof ops16[0]; ++i) {
        check_equal(rom_mul16(ops16[i].a, ops16[i].b), ops16[i].product);
        check_equal(rom_divu16(ops16[i].a, ops16[i].b), ops16[i].quotient);
        check_equal(rom_remainder16, ops16[i].remainder);
    }

    /* 32-bit multiply and divide (28-51). */
    for (i = 0; i < sizeof ops32 / sizeof ops32[0]; ++i) {
        check_equal(rom_mul32(ops32[i].a, ops32[i].b), ops32[i].product);
        check_equal(rom_divu32(ops32[i].a, ops32[i].b), ops32[i].quotient);
        check_equal(rom_remainder32, ops32[i].remainder);
    }

    /* Negate and shifts (52-75). */
    check_equal(rom_neg32(1), 0xFFFFFFFFUL);
    check_equal(rom_neg32(0), 0);
    check_equal(rom_neg32(0x80000000UL), 0x80000000UL);
    for (i = 0; i < sizeof shifts / sizeof shifts[0]; ++i) {
        const uint32_t v = shifts[i].value;
        const uint8_t n = shifts[i].n;
        check_equal(rom_shr32(v, n), v >> n);
        check_equal(rom_sar32(v, n), (uint32_t)((int32_t)v >> n));
        check_equal(rom_shl32(v, n), v << n);
    }

    /* Floating point, exact results (76-). */
    check_float(rom_fadd(1.5f, 2.25f), 3.75f);
    check_equal(bits_of(rom_fadd(1.5f, 2.25f)), 0x40700000UL);
    check_float(rom_fsub(10.0f, 0.5f), 9.5f);
    check_float(rom_fsub(0.5f, 10.0f), -9.5f);
    check_float(rom_fadd(-2.0f, 2.0f), 0.0f);
    check_float(rom_fmul(3.0f, -2.5f), -7.5f);
    check_float(rom_fmul(1024.0f, 0.125f), 128.0f);
    check_float(rom_fdiv(1.0f, 4.0f), 0.25f);
    check_float(rom_fdiv(-81.0f, 9.0f), -9.0f);

    /* Rounded results: within one unit in the last place of the compiler's own. */
    f1 = 10.0f;
    f2 = 3.0f;
    check_float_near(rom_fdiv(f1, f2), f1 / f2);
    f1 = 0.1f;
    f2 = 0.2f;
    check_float_near(rom_fadd(f1, f2), f1 + f2);
    f1 = 3.14159265f;
    f2 = 2.71828183f;
    check_float_near(rom_fmul(f1, f2), f1 * f2);
    check_float_near(rom_fsub(f1, f2), f1 - f2);
    f1 = 1.0e10f;
    f2 = 7.0e-3f;
    check_float_near(rom_fmul(f1, f2), f1 * f2);
    check_float_near(rom_fdiv(f2, f1), f2 / f1);
    /* A chain: 98.6 degrees Fahrenheit in Celsius, (F - 32) * 5 / 9. */
    f1 = 98.6f;
    check_float_near(rom_fdiv(rom_fmul(rom_fsub(f1, 32.0f), 5.0f), 9.0f), (f1 - 32.0f) * 5.0f / 9.0f);

    /* Compare. */
    check_equal((uint8_t)rom_fcmp(1.0f, 2.0f), (uint8_t)-1);
    check_equal((uint8_t)rom_fcmp(2.0f, 1.0f), 1);
    check_equal((uint8_t)rom_fcmp(3.5f, 3.5f), 0);
    check_equal((uint8_t)rom_fcmp(-1.0f, 1.0f), (uint8_t)-1);
    check_equal((uint8_t)rom_fcmp(-1.0f, -2.0f), 1);

    /* Conversions. */
    check_float(rom_i32tof(123456L), 123456.0f);
    check_float(rom_i32tof(-7L), -7.0f);
    check_float(rom_i32tof(0L), 0.0f);
    check_float(rom_i32tof(16777216L), 16777216.0f);
    check_float(rom_i16tof(1000), 1000.0f);
    check_float(rom_i16tof(32767), 32767.0f);
    check_float(rom_i8tof(100), 100.0f);
    check_float(rom_i8tof(1), 1.0f);
    check_equal((uint32_t)rom_ftoi32(-3.7f), 0xFFFFFFFDUL);
    check_equal((uint32_t)rom_ftoi32(1234.9f), 1234UL);
    check_equal((uint32_t)rom_ftoi32(1.0e6f), 1000000UL);
    check_equal((uint32_t)rom_ftoi32(0.25f), 0UL);

    report_finish();
}
