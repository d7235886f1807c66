/*
 * A power-fail-safe settings store in DFLASH 0.
 *
 * Each update writes one 32-byte record (one DFLASH write block) into the next free slot; the
 * record carries a version counter and a checksum, and the newest valid record wins. Two
 * 128-byte sectors (sectors 8 and 9 of DFLASH 0, 0xAF00 and 0xAF80) hold four slots each and
 * are used in turn: when the active sector is full, the other one is erased and the update goes
 * to its first slot. Until that record is written the old sector still holds the newest valid
 * record, so a reset at any moment loses at most the update in progress.
 *
 * Records are read back as data with MOVC; a slot whose read reports an ECC error (a write that
 * was cut off leaves its check bits behind) is treated as damaged and never rewritten before its
 * sector is erased.
 */
#ifndef PELTO_EXAMPLES_STORE_H
#define PELTO_EXAMPLES_STORE_H

#include <stdint.h>

#define STORE_BASE          0xAF00 /* DFLASH 0, sector 8; sector 9 follows at 0xAF80 */
#define STORE_VIEW          0x7F00 /* the same bytes in DFLASH 0's second view */
#define STORE_SECTOR_SIZE   128
#define STORE_SECTOR_SLOTS  4
#define STORE_SLOTS         8
#define STORE_FIRST_SECTOR  8      /* DFLASH sector number of the first store sector */
#define RECORD_SIZE         32
#define RECORD_MAGIC0       'S'
#define RECORD_MAGIC1       'R'

struct settings {
    uint8_t volume;      /* 0..31 */
    uint8_t brightness;  /* percent */
    uint16_t baud;       /* serial line speed / 100 */
    uint8_t nth;         /* 1 for the first record written after a start, +1 for each next one */
    char label[21];      /* what changed, NUL-padded */
};

struct record {           /* 32 bytes, one write block */
    uint8_t magic[2];     /* RECORD_MAGIC0, RECORD_MAGIC1 */
    uint16_t version;     /* 1 for the first record, +1 per update */
    struct settings s;
    uint16_t checksum;    /* Fletcher-16 of the 30 bytes before it */
};

enum slot_state { SLOT_BLANK = 0, SLOT_VALID = 1, SLOT_DAMAGED = 2 };

struct store_state {
    int8_t newest;        /* slot of the newest valid record, -1 when there is none */
    uint16_t version;     /* its version */
    uint8_t valid;        /* bit i: slot i holds a valid record */
    uint8_t blank;        /* bit i: slot i is erased */
    uint8_t ecc;          /* bit i: reading slot i reported an ECC error */
};

/* Operations, as reported to store_started(). */
#define STORE_OP_PROGRAM 1
#define STORE_OP_ERASE   2

/* Store results. */
#define STORE_OK            0
#define STORE_REFUSED       1 /* the ROM refused to start the operation */
#define STORE_NOT_SIGNALLED 2 /* the operation ended without signalling completion */
#define STORE_VERIFY        3 /* the record read back differs or reports an ECC error */

extern struct store_state store;

/* Reads every slot and fills `store`. */
void store_scan(void);

/* Reads slot `slot` into `out` (MOVC) and classifies it. */
enum slot_state store_read_slot(uint8_t slot, struct record *out);

/* Copies the newest valid record into `out`; 0 when there is none. */
uint8_t store_load(struct record *out);

/* Writes `s` as the next version and verifies it. Returns a store result. */
uint8_t store_save(const struct settings *s);

uint16_t record_checksum(const uint8_t *bytes);

/* Whether both views of DFLASH show the valid records alike. Slots that are not valid are left
 * out: one whose program a cut tore may read differently on every read until its sector is
 * erased again. */
uint8_t store_views_agree(void);

/* Called by the store right after it started a flash operation (the application may log it). */
void store_started(uint8_t op, uint16_t address);

#endif
