/*
 * Flash driver for the simulated chip: thin wrappers around the ROM routines, called through the
 * ROM entry table at 0xDFE4 exactly as product firmware calls them, plus the few register
 * accesses the routines leave to the caller (completion flags, ECC error flag, abort).
 *
 * Every routine in the ROM reports refusal with the carry flag; the wrappers turn that into a
 * C truth value (1: done or started, 0: refused). Program and erase only *start* an operation:
 * wait for it with flash_wait() (or poll flash_busy()) before reading the bank again.
 *
 * Bank numbers: 0..2 PFLASH pairs (0x0000, 0x2000, 0x4000, 8 KB each), 3 DFLASH 0 (0xA000,
 * also seen at 0x7000), 4 DFLASH 1 (0xB000, also seen at 0x6000). An erased byte reads 0x00.
 */
#ifndef PELTO_EXAMPLES_FLASH_H
#define PELTO_EXAMPLES_FLASH_H

#include <stdint.h>

#define FLASH_BANK_PFLASH0 0
#define FLASH_BANK_PFLASH1 1
#define FLASH_BANK_PFLASH2 2
#define FLASH_BANK_DFLASH0 3
#define FLASH_BANK_DFLASH1 4

#define FLASH_PFLASH_BLOCK 64 /* bytes per program operation in a PFLASH pair */
#define FLASH_DFLASH_BLOCK 32 /* bytes per program operation in a DFLASH bank */

/* Sector bits for flash_erase(). PFLASH pair: bit 0 offsets 0x0000-0x1DFF, bit 1 0x1E00-0x1EFF,
 * bit 2 0x1F00-0x1FFF. DFLASH bank: bits 0..9 are sectors 0..9 (offsets 0x000, 0x400, 0x800,
 * 0xA00, 0xC00, 0xD00, 0xE00, 0xE80, 0xF00, 0xF80). */
#define FLASH_SECTOR(n) ((uint16_t)1u << (n))

/* ROM entry table: one long jump per routine. */
#define ROM_READ_PARAM     0xDFEA
#define ROM_SET_MARGIN     0xDFED
#define ROM_READ_MODE_TEST 0xDFF0
#define ROM_ERASE_ABORT    0xDFF3
#define ROM_PROGRAM        0xDFF6
#define ROM_ERASE          0xDFF9
#define ROM_FCMD_CLR0      0xDFFC
#define ROM_FCMD_SET0      0xDFFF

/* NMISTAT bits. */
#define NMI_FLASH_DONE 0x04 /* a flash operation completed */
#define NMI_FLASH_ECC  0x40 /* a data read (MOVC) of flash found an ECC mismatch */

/* The NMI vectors to 0x0073: SDCC's interrupt number 14 (vector 8 * n + 3). */
#define NMI_INTERRUPT  14

/* ---- ROM routines (entry table) ---- */

/* ROM_PROGRAM: writes one write block starting at `address` (64 bytes in a PFLASH pair, 32 in a
 * DFLASH bank) from internal RAM at `data` and starts the program operation. 0 when refused:
 * address at 0xFC00 or above or in no bank, or the bank is protected. */
__bit flash_program_block(uint16_t address, const __idata uint8_t *data);

/* ROM_ERASE: starts erasing the selected sectors of one bank. 0 when refused (no sector left,
 * protection). */
__bit flash_erase(uint8_t bank, uint16_t sectors);

/* ROM_READ_MODE_TEST: 1 when the bank is in read mode (idle). */
__bit flash_read_mode(uint8_t bank);

/* ROM_ERASE_ABORT: aborts a running erase. 0 when no bank is erasing. */
__bit flash_erase_abort(void);

/* ROM_READ_PARAM: a byte of the parameter area (0xFC00-0xFFFF); -1 for an address below it. */
int16_t flash_read_param(uint16_t address);

/* ROM_SET_MARGIN: sets the read margin (bits 3..0) and returns it. */
uint8_t flash_set_margin(uint8_t margin);

/* ROM_FCMD_SET0 / ROM_FCMD_CLR0: hold back every later start, then let it go (the operation
 * requested while held starts at the release). */
void flash_hold_starts(void);
void flash_release_starts(void);

/* ---- built on top ---- */

/* 1 while the bank is programming or erasing. */
#define flash_busy(bank) (!flash_read_mode(bank))

/* Waits until the bank is back in read mode. Returns the completion flags seen (NMI_FLASH_DONE
 * when the operation completed and signalled it, 0 after an abort) and clears them. With the
 * completion NMI enabled the handler takes the flag first: wait for the handler instead. */
uint8_t flash_wait(uint8_t bank);

/* Aborts whatever operation runs (program or erase): every bank returns to read mode and nothing
 * is written. A reset of the chip has the same effect on a running operation. */
void flash_abort(void);

/* NMISTAT (system page 0, SFR 0xBC): read it, and clear bits in it. */
uint8_t nmi_status(void);
void nmi_clear(uint8_t bits);

/* NMICON (system page 0, SFR 0xBB): bit n requests the NMI (NMI_INTERRUPT) while NMISTAT bit n
 * is set, whatever EA says. The handler must clear the NMISTAT bit before RETI, or the NMI is
 * taken again.
 * None of the register functions here may be called from an interrupt handler: they keep the
 * page registers they change in shared variables. A handler saves and restores its own. */
void nmi_enable(uint8_t bits);
void nmi_disable(uint8_t bits);

/* The read margin field of FMARGIN (bits 3..0), read directly. */
uint8_t flash_margin(void);

#endif
