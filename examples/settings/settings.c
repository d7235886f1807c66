/*
 * Settings-store example: keeps the device settings in DFLASH 0 (see store.h) and brings them
 * up to date, UPDATES versions in all, whatever happened before this start.
 *
 * Each start scans the store, carries on from the newest valid record and writes the missing
 * versions. Nothing survives a power loss but the flash, so that is all a start relies on.
 * The power may go at any moment; the demo and examples/check cut it twice from the host
 * (pelto-sim --power-cut-at, cycles in power-cuts), once while record 6 is being programmed and
 * once while sector 8 is being erased, and check from the serial log and the flash that each
 * start found what it should.
 *
 * Serial log (serial.h; one line each):
 *   scan: record V in slot S; valid SLOTS; blank SLOTS; ECC error SLOTS    at every start
 *   scan: no record; ...                                                  (SLOTS: digits or -)
 *   program slot S / erase sector N                                      each operation started
 *   end: ...                                                             as scan, at the end
 *
 * Report area (see report.h), from 0x9F08; what this start saw:
 *   0x9F08  scan at the start: newest version (2, little-endian), newest slot (0xFF: none),
 *           valid slot mask, blank mask, ECC error mask
 *   0x9F10  scan at the end, the same six bytes
 *   0x9F20  record before: the newest record found at the start (32 bytes)
 *   0x9F40  record after: the newest record at the end (32 bytes)
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "flash.h"
#include "report.h"
#include "serial.h"
#include "store.h"

#define START_SCAN  ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x08))
#define END_SCAN    ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x10))
#define BEFORE      ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x20))
#define AFTER       ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x40))

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

static void print_slots(uint8_t mask)
{
    uint8_t slot;
    if (!mask) putchar('-');
    for (slot = 0; slot < STORE_SLOTS; ++slot)
        if (mask & (1u << slot)) putchar('0' + slot);
}

/* Logs `store` and keeps it in the report area. */
static void log_scan(const char *what, volatile __xdata uint8_t *to)
{
    to[0] = (uint8_t)store.version;
    to[1] = (uint8_t)(store.version >> 8);
    to[2] = (uint8_t)store.newest;
    to[3] = store.valid;
    to[4] = store.blank;
    to[5] = store.ecc;
    if (store.newest < 0)
        printf("%s: no record; valid ", what);
    else
        printf("%s: record %u in slot %u; valid ", what, store.version, (unsigned)store.newest);
    print_slots(store.valid);
    printf("; blank ");
    print_slots(store.blank);
    printf("; ECC error ");
    print_slots(store.ecc);
    putchar('\n');
}

void store_started(uint8_t op, uint16_t address)
{
    if (op == STORE_OP_PROGRAM)
        printf("program slot %u\n", (address - STORE_BASE) / RECORD_SIZE);
    else
        printf("erase sector %u\n", STORE_FIRST_SECTOR + (address - STORE_BASE) / STORE_SECTOR_SIZE);
}

static void copy_out(volatile __xdata uint8_t *to, const struct record *r)
{
    const uint8_t *from = (const uint8_t *)r;
    uint8_t i;
    for (i = 0; i < RECORD_SIZE; ++i) to[i] = from[i];
}

/* Every valid record holds the settings of its version. */
static uint8_t records_match_updates(void)
{
    static __xdata struct record r;
    static __xdata struct settings expected;
    uint8_t slot;
    for (slot = 0; slot < STORE_SLOTS; ++slot) {
        if (!(store.valid & (1u << slot))) continue;
        if (store_read_slot(slot, &r) != SLOT_VALID || r.version == 0 || r.version > UPDATES) return 0;
        memcpy(&expected, &updates[r.version - 1], sizeof expected);
        expected.nth = r.s.nth; /* depends on when the start came */
        if (memcmp(&r.s, &expected, sizeof expected) != 0) return 0;
    }
    return 1;
}

void main(void)
{
    static __xdata struct record current;
    static __xdata struct settings next;
    uint8_t result = STORE_OK;
    uint8_t written = 0;

    report_start();
    serial_init();
    nmi_clear(NMI_FLASH_DONE | NMI_FLASH_ECC);

    store_scan();
    log_scan("scan", START_SCAN);
    if (store_load(&current)) copy_out(BEFORE, &current);

    while (store.version < UPDATES && result == STORE_OK) {
        memcpy(&next, &updates[store.version], sizeof next);
        next.nth = ++written;
        result = store_save(&next);
    }

    /* What this start can tell, whatever happened before it: the store as it leaves it. Where
     * the records ended up depends on where the power went; examples/check knows that. */
    report_check(1, result == STORE_OK);
    store_scan();
    log_scan("end", END_SCAN);
    report_check(2, store.version == UPDATES);
    report_check(3, records_match_updates());
    report_check(4, store_load(&current));
    copy_out(AFTER, &current);
    report_check(5, store_views_agree());
    report_finish();
}
