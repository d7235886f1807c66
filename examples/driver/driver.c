/*
 * Driver example: exercises every ROM flash routine through the driver in flash.h, on PFLASH
 * pair 2 (0x4000-0x5FFF, not used by the program) and DFLASH 1, and checks what the flash does:
 * timed program and erase with completion signalling, holding back a start, aborting an erase,
 * the refusals, the read margin, the parameter area, and the ECC error that a program operation
 * cut off leaves behind.
 *
 * Report area (see report.h): the header only; `failed` names the first check that failed.
 */
#include <stdint.h>
#include <string.h>

#include "flash.h"
#include "report.h"

#define PAIR2       FLASH_BANK_PFLASH2
#define BLOCK_A     0x5000 /* in sector 0 of pair 2 (0x4000-0x5DFF) */
#define BLOCK_B     0x5040
#define BLOCK_C     0x5E00 /* sector 1 of pair 2 */
#define DFLASH1_LOW 0x6040 /* DFLASH 1 through its second view; the same bytes at 0xB040 */

/* Parameter area: the ROM reads its program and erase timing tables here (PFLASH table at
 * 0xFC00, DFLASH table at 0xFD83). The simulated flash does not model timing registers, so the
 * values only have to be there. */
__code __at(0xFC00) const uint8_t pflash_timing[13] = {0x0C, 0x18, 0x05, 0x3C, 0x12, 0x40, 0x07, 0x0A,
                                                       0x02, 0x0F, 0x30, 0x28, 0x11};
__code __at(0xFD83) const uint8_t dflash_timing[13] = {0x0C, 0x18, 0x05, 0x3C, 0x12, 0x40, 0x07, 0x0A,
                                                       0x02, 0x0F, 0x30, 0x28, 0x11};

static __idata uint8_t block[FLASH_PFLASH_BLOCK];

static void fill(uint8_t seed)
{
    uint8_t i;
    for (i = 0; i < sizeof block; ++i) block[i] = (uint8_t)(i * 7u + seed);
}

/* 1 when `length` bytes of flash at `address` (read with MOVC) equal the block. */
static uint8_t flash_equals_block(uint16_t address, uint8_t length)
{
    const __code uint8_t *p = (const __code uint8_t *)address;
    uint8_t i;
    for (i = 0; i < length; ++i)
        if (p[i] != block[i]) return 0;
    return 1;
}

static uint8_t flash_is_erased(uint16_t address, uint8_t length)
{
    const __code uint8_t *p = (const __code uint8_t *)address;
    uint8_t i;
    for (i = 0; i < length; ++i)
        if (p[i] != 0x00) return 0;
    return 1;
}

/* Reads `length` bytes with MOVC and returns whether one of them reported an ECC error. */
static uint8_t ecc_error_reading(uint16_t address, uint8_t length)
{
    const __code uint8_t *p = (const __code uint8_t *)address;
    uint8_t i;
    volatile uint8_t sink;
    nmi_clear(NMI_FLASH_ECC);
    for (i = 0; i < length; ++i) sink = p[i];
    if (nmi_status() & NMI_FLASH_ECC) {
        nmi_clear(NMI_FLASH_ECC);
        return 1;
    }
    return 0;
}

static uint8_t all_banks_idle(void)
{
    uint8_t bank;
    for (bank = 0; bank <= FLASH_BANK_DFLASH1; ++bank)
        if (!flash_read_mode(bank)) return 0;
    return 1;
}

static void spin(uint16_t polls)
{
    while (polls--) (void)flash_read_mode(PAIR2);
}

void main(void)
{
    report_start();
    nmi_clear(NMI_FLASH_DONE | NMI_FLASH_ECC);

    /* 1-3: parameter area. */
    report_check(1, flash_read_param(0xFC00) == pflash_timing[0]);
    report_check(2, flash_read_param(0xFD83 + 12) == dflash_timing[12]);
    report_check(3, flash_read_param(0x1000) == -1);

    /* 4-5: read margin (bits 3..0 of FMARGIN). */
    report_check(4, flash_set_margin(0x13) == 0x03 && flash_margin() == 0x03);
    report_check(5, flash_set_margin(0x0D) == 0x0D && flash_margin() == 0x0D);

    /* 6-7: every bank idle; bank numbers above 4 are never in read mode. */
    report_check(6, all_banks_idle());
    report_check(7, !flash_read_mode(5));

    /* 8-11: program a 64-byte block; it takes time, signals completion and reads back clean.
     * While it runs the block still reads erased, and reading it reports an ECC error: the
     * check bits of the new bytes were stored when the bytes were captured. */
    fill(3);
    report_check(8, flash_program_block(BLOCK_A, block));
    report_check(9, flash_busy(PAIR2) && flash_is_erased(BLOCK_A, FLASH_PFLASH_BLOCK) && ecc_error_reading(BLOCK_A, 1));
    report_check(10, flash_wait(PAIR2) == NMI_FLASH_DONE);
    report_check(11, flash_equals_block(BLOCK_A, FLASH_PFLASH_BLOCK) && !ecc_error_reading(BLOCK_A, FLASH_PFLASH_BLOCK));

    /* 12-13: refusals: no bank at 0x8000, parameter area at 0xFC00; nothing starts. */
    report_check(12, !flash_program_block(0x8000, block) && !flash_program_block(0xFC00, block));
    report_check(13, all_banks_idle());

    /* 14-16: a held start: the block waits in program mode until the release starts it. */
    fill(90);
    flash_hold_starts();
    report_check(14, flash_program_block(BLOCK_B, block));
    spin(3000); /* longer than a program operation */
    report_check(15, flash_busy(PAIR2));
    flash_release_starts();
    report_check(16, flash_wait(PAIR2) == NMI_FLASH_DONE && flash_equals_block(BLOCK_B, FLASH_PFLASH_BLOCK));

    /* 17-19: an erase aborted half-way erases nothing; a second abort finds nothing to abort. */
    report_check(17, flash_erase(PAIR2, FLASH_SECTOR(0)));
    spin(2000);
    report_check(18, flash_busy(PAIR2) && flash_erase_abort());
    report_check(19, flash_wait(PAIR2) == 0 && flash_equals_block(BLOCK_B, FLASH_PFLASH_BLOCK) && !flash_erase_abort());

    /* 20-21: the erase run to its end clears both blocks and their ECC check bits. */
    report_check(20, flash_erase(PAIR2, FLASH_SECTOR(0)) && flash_wait(PAIR2) == NMI_FLASH_DONE);
    report_check(21, flash_is_erased(BLOCK_A, 128) && !ecc_error_reading(BLOCK_A, 128));

    /* 22: erase requests that select no sector are refused. */
    report_check(22, !flash_erase(PAIR2, 0) && !flash_erase(PAIR2, 0x08) && all_banks_idle());

    /* 23-24: a program operation cut off by an abort writes nothing, but the bytes it captured
     * left their ECC check bits: reading the block reports an ECC error. */
    fill(200);
    report_check(23, flash_program_block(BLOCK_C, block));
    flash_abort();
    report_check(24, flash_wait(PAIR2) == 0 && flash_is_erased(BLOCK_C, 64) && ecc_error_reading(BLOCK_C, 64));
    /* 25: erasing the sector clears the error. */
    report_check(25, flash_erase(PAIR2, FLASH_SECTOR(1)) && flash_wait(PAIR2) == NMI_FLASH_DONE &&
                         !ecc_error_reading(BLOCK_C, 64));

    /* 26: a DFLASH block written through the second view of DFLASH 1 reads the same in both. */
    fill(17);
    report_check(26, flash_program_block(DFLASH1_LOW, block) && flash_wait(FLASH_BANK_DFLASH1) == NMI_FLASH_DONE &&
                         flash_equals_block(DFLASH1_LOW, FLASH_DFLASH_BLOCK) &&
                         flash_equals_block(DFLASH1_LOW + 0x5000, FLASH_DFLASH_BLOCK));

    report_finish();
}
