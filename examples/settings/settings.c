/*
 * Settings-store example: keeps the device settings in DFLASH 0 (see store.h), updates them
 * eight times, and survives two resets in the middle of an update.
 *
 * The resets are simulated by the firmware itself: at a planned moment it cuts the running
 * flash operation off with an abort (which returns every bank to read mode, as a reset of the
 * chip does) and jumps to its reset vector. The start-up code then runs again; only the flash
 * and the report area in external RAM keep their contents.
 *
 *   boot 1: records 1-4 fill sector 8 and record 5 starts sector 9; the reset hits while
 *            record 6 is being programmed, which leaves its slot with ECC check bits but no data;
 *   boot 2: record 5 is found, the damaged slot is reported through NMISTAT and skipped;
 *            records 6 and 7 fill sector 9; the reset hits while sector 8 is being erased for
 *            record 8;
 *   boot 3: record 7 is found (sector 8 still holds records 1-4: the cut-off erase erased
 *            nothing); sector 8 is erased again and record 8 is written to its first slot.
 *
 * Report area (see report.h), from 0x9F06:
 *   0x9F06  ops        number of flash operations started
 *   0x9F07  reserved
 *   0x9F08  boot log: per boot (up to 4) 4 bytes: newest version (2, little-endian),
 *           valid slot mask, ECC error slot mask, as found by the scan at that boot
 *   0x9F18  final scan: newest version (2), newest slot, valid mask, blank mask, ECC mask
 *   0x9F20  record before: the newest record found at the last boot (32 bytes)
 *   0x9F40  record after: the newest record at the end (32 bytes)
 *   0x9F60  operation log: per operation 4 bytes: kind (1 program, 2 erase), boot, address (2)
 */
#include <stdint.h>
#include <string.h>

#include "flash.h"
#include "report.h"
#include "store.h"

#define OPS         ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x06))
#define BOOT_LOG    ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x08))
#define FINAL_SCAN  ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x18))
#define BEFORE      ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x20))
#define AFTER       ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x40))
#define OP_LOG      ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x60))
#define OP_LOG_MAX  40
#define MAX_BOOTS   4

#define UPDATES 8

/* The successive settings: update n writes record version n. */
static const struct settings updates[UPDATES] = {
    {10, 50, 96, 0, "factory defaults"},
    {12, 50, 96, 0, "volume up"},
    {12, 70, 96, 0, "brighter"},
    {12, 70, 1152, 0, "fast serial line"},
    {14, 70, 1152, 0, "volume up again"},
    {14, 30, 1152, 0, "night mode"},
    {8, 30, 1152, 0, "quiet night mode"},
    {8, 80, 192, 0, "day mode, 19200 baud"},
};

/* Where each start is cut off: the number of the flash operation (counted within that start)
 * during which the reset hits; 0: run to the end. */
static const uint8_t cut_at_operation[MAX_BOOTS] = {6, 3, 0, 0};
/* How long the operation runs before the reset (polls of the bank). */
static const uint16_t cut_after_polls[MAX_BOOTS] = {400, 6000, 0, 0};

static uint8_t boot;
static uint8_t ops_this_boot;

static void simulated_reset(void)
{
    flash_abort(); /* a reset leaves no operation running */
    __asm
        ljmp    0x0000
    __endasm;
}

void store_started(uint8_t op, uint16_t address)
{
    const uint8_t n = *OPS;
    if (n < OP_LOG_MAX) {
        OP_LOG[n * 4 + 0] = op;
        OP_LOG[n * 4 + 1] = boot;
        OP_LOG[n * 4 + 2] = (uint8_t)address;
        OP_LOG[n * 4 + 3] = (uint8_t)(address >> 8);
    }
    *OPS = n + 1;
    if (++ops_this_boot == cut_at_operation[boot - 1]) {
        uint16_t polls = cut_after_polls[boot - 1];
        while (polls-- && flash_busy(FLASH_BANK_DFLASH0)) {
        }
        simulated_reset();
    }
}

static void copy_out(volatile __xdata uint8_t *to, const struct record *r)
{
    const uint8_t *from = (const uint8_t *)r;
    uint8_t i;
    for (i = 0; i < RECORD_SIZE; ++i) to[i] = from[i];
}

static uint8_t same_settings(const struct record *r, uint8_t version)
{
    static __xdata struct settings expected;
    memcpy(&expected, &updates[version - 1], sizeof expected);
    expected.boot = r->s.boot; /* the start that wrote it varies */
    return r->version == version && memcmp(&r->s, &expected, sizeof expected) == 0;
}

void main(void)
{
    static __xdata struct record current;
    static __xdata struct settings next;
    uint8_t result = STORE_OK;

    boot = report_start();
    ops_this_boot = 0;
    if (boot > MAX_BOOTS) {
        report_check(1, 0); /* more resets than planned */
        report_finish();
    }
    /* A reset leaves no completion flags; clear what a jump to the reset vector kept. */
    nmi_clear(NMI_FLASH_DONE | NMI_FLASH_ECC);

    store_scan();
    BOOT_LOG[(boot - 1) * 4 + 0] = (uint8_t)store.version;
    BOOT_LOG[(boot - 1) * 4 + 1] = (uint8_t)(store.version >> 8);
    BOOT_LOG[(boot - 1) * 4 + 2] = store.valid;
    BOOT_LOG[(boot - 1) * 4 + 3] = store.ecc;
    if (store_load(&current)) copy_out(BEFORE, &current);

    while (store.version < UPDATES && result == STORE_OK) {
        memcpy(&next, &updates[store.version], sizeof next);
        next.boot = boot;
        result = store_save(&next);
    }

    /* Outcome. Checks 2-4 look at what each start found; 5-9 at the flash at the end. */
    report_check(2, result == STORE_OK);
    report_check(3, boot == 3);
    /* Start 2 found record 5 and the slot cut off in start 1 (slot 5) damaged. */
    report_check(4, BOOT_LOG[4] == 5 && BOOT_LOG[5] == 0 && BOOT_LOG[7] == 0x20 && BOOT_LOG[6] == 0x1F);
    /* Start 3 found record 7; the erase cut off in start 2 erased nothing (slots 0-3 valid). */
    report_check(5, BOOT_LOG[8] == 7 && BOOT_LOG[9] == 0 && BOOT_LOG[10] == 0xDF && BOOT_LOG[11] == 0x20);

    store_scan();
    FINAL_SCAN[0] = (uint8_t)store.version;
    FINAL_SCAN[1] = (uint8_t)(store.version >> 8);
    FINAL_SCAN[2] = (uint8_t)store.newest;
    FINAL_SCAN[3] = store.valid;
    FINAL_SCAN[4] = store.blank;
    FINAL_SCAN[5] = store.ecc;
    report_check(6, store.version == UPDATES && store.newest == 0);
    report_check(7, store.valid == 0xD1 && store.blank == 0x0E && store.ecc == 0x20);
    report_check(8, store_load(&current) && same_settings(&current, UPDATES) && current.s.boot == 3);
    copy_out(AFTER, &current);
    /* The same bytes through DFLASH 0's second view (0x7000). */
    report_check(9, memcmp((const __code uint8_t *)0x7F00, (const __code uint8_t *)STORE_BASE, RECORD_SIZE) == 0);
    report_finish();
}
