#include "store.h"

#include <string.h>

#include "flash.h"

struct store_state store;

/* The record being written: ROM_PROGRAM takes its bytes from internal RAM. */
static __idata struct record pending;

static uint16_t slot_address(uint8_t slot)
{
    return STORE_BASE + (uint16_t)slot * RECORD_SIZE;
}

uint16_t record_checksum(const uint8_t *bytes)
{
    uint8_t i;
    uint16_t a = 0, b = 0;
    for (i = 0; i < RECORD_SIZE - 2; ++i) {
        a = (a + bytes[i]) % 255;
        b = (b + a) % 255;
    }
    return (b << 8) | a;
}

enum slot_state store_read_slot(uint8_t slot, struct record *out)
{
    const __code uint8_t *flash = (const __code uint8_t *)slot_address(slot);
    uint8_t *bytes = (uint8_t *)out;
    uint8_t i, any = 0;

    nmi_clear(NMI_FLASH_ECC);
    for (i = 0; i < RECORD_SIZE; ++i) {
        bytes[i] = flash[i]; /* MOVC: checked against the ECC shadow */
        any |= bytes[i];
    }
    if (nmi_status() & NMI_FLASH_ECC) {
        nmi_clear(NMI_FLASH_ECC);
        store.ecc |= (uint8_t)(1u << slot);
        return SLOT_DAMAGED;
    }
    if (!any) return SLOT_BLANK;
    if (out->magic[0] != RECORD_MAGIC0 || out->magic[1] != RECORD_MAGIC1) return SLOT_DAMAGED;
    if (out->checksum != record_checksum(bytes)) return SLOT_DAMAGED;
    return SLOT_VALID;
}

void store_scan(void)
{
    static __xdata struct record r;
    uint8_t slot;

    store.newest = -1;
    store.version = 0;
    store.valid = store.blank = store.ecc = 0;
    for (slot = 0; slot < STORE_SLOTS; ++slot) {
        const uint8_t bit = (uint8_t)(1u << slot);
        switch (store_read_slot(slot, &r)) {
        case SLOT_BLANK:
            store.blank |= bit;
            break;
        case SLOT_VALID:
            store.valid |= bit;
            /* Versions wrap: newer means "ahead by less than half the range". */
            if (store.newest < 0 || (int16_t)(r.version - store.version) > 0) {
                store.newest = (int8_t)slot;
                store.version = r.version;
            }
            break;
        default:
            break;
        }
    }
}

uint8_t store_load(struct record *out)
{
    if (store.newest < 0) return 0;
    return store_read_slot((uint8_t)store.newest, out) == SLOT_VALID;
}

/* The slot for the next record in the active sector, or -1 when the sector is full. Slots are
 * used in order; a damaged slot is skipped. */
static int8_t next_slot(void)
{
    uint8_t slot, end;
    if (store.newest < 0) {
        slot = 0;
    } else {
        slot = (uint8_t)store.newest + 1;
        if (slot % STORE_SECTOR_SLOTS == 0) return -1;
    }
    end = (slot / STORE_SECTOR_SLOTS + 1) * STORE_SECTOR_SLOTS;
    for (; slot < end; ++slot)
        if (store.blank & (1u << slot)) return (int8_t)slot;
    return -1;
}

static uint8_t finish(uint8_t bank)
{
    return flash_wait(bank) & NMI_FLASH_DONE ? STORE_OK : STORE_NOT_SIGNALLED;
}

uint8_t store_save(const struct settings *s)
{
    static __xdata struct record check;
    int8_t slot = next_slot();
    uint8_t result;

    if (slot < 0) {
        /* Active sector full: erase the other one and start it. */
        const uint8_t other = store.newest < STORE_SECTOR_SLOTS ? 1 : 0;
        const uint8_t mask = (uint8_t)(0x0Fu << (other * STORE_SECTOR_SLOTS));
        slot = (int8_t)(other * STORE_SECTOR_SLOTS);
        if ((store.blank & mask) != mask) {
            if (!flash_erase(FLASH_BANK_DFLASH0, FLASH_SECTOR(STORE_FIRST_SECTOR + other))) return STORE_REFUSED;
            store_started(STORE_OP_ERASE, STORE_BASE + (uint16_t)other * STORE_SECTOR_SIZE);
            result = finish(FLASH_BANK_DFLASH0);
            if (result != STORE_OK) return result;
            store.blank |= mask;
            store.valid &= (uint8_t)~mask;
            store.ecc &= (uint8_t)~mask;
        }
    }

    pending.magic[0] = RECORD_MAGIC0;
    pending.magic[1] = RECORD_MAGIC1;
    pending.version = store.version + 1;
    memcpy(&pending.s, s, sizeof pending.s);
    pending.checksum = record_checksum((const uint8_t *)&pending);

    if (!flash_program_block(slot_address((uint8_t)slot), (const __idata uint8_t *)&pending)) return STORE_REFUSED;
    store_started(STORE_OP_PROGRAM, slot_address((uint8_t)slot));
    result = finish(FLASH_BANK_DFLASH0);
    if (result != STORE_OK) return result;

    store.blank &= (uint8_t)~(1u << slot);
    if (store_read_slot((uint8_t)slot, &check) != SLOT_VALID || memcmp(&check, &pending, RECORD_SIZE) != 0)
        return STORE_VERIFY;
    store.valid |= (uint8_t)(1u << slot);
    store.newest = slot;
    store.version = pending.version;
    return STORE_OK;
}

uint8_t store_views_agree(void)
{
    uint8_t slot;
    for (slot = 0; slot < STORE_SLOTS; ++slot) {
        uint16_t offset = slot_address(slot) - STORE_BASE;
        if (!(store.valid & (1u << slot))) continue;
        if (memcmp((const __code uint8_t *)(STORE_VIEW + offset), (const __code uint8_t *)(STORE_BASE + offset), RECORD_SIZE) != 0)
            return 0;
    }
    return 1;
}
