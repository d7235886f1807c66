/* Flash driver: see flash.h. The ROM wrappers are __naked functions that follow SDCC's calling
 * convention for the mcs51 port: the first parameter arrives in DPL (8 bits) or DPL/DPH
 * (16 bits), further parameters in the function's _PARM_n bytes, a __bit result leaves in the
 * carry, an 8-bit result in DPL and a 16-bit result in DPL/DPH. The caller saves the registers
 * it needs, so the wrappers may let the ROM change A, B, DPTR and R0-R7. */
#include "flash.h"

#include "regs.h"

/* ---- ROM routines ---- */

__bit flash_program_block(uint16_t address, const __idata uint8_t *data) __naked
{
    (void)address; /* DPTR */
    (void)data;    /* _flash_program_block_PARM_2 */
    __asm
        mov     r0, _flash_program_block_PARM_2
        lcall   ROM_PROGRAM
        cpl     c               ; ROM: carry set = refused
        ret
    __endasm;
}

/* ROM_ERASE takes its sector selections in R0-R7; they are staged here. */
static __data uint8_t erase_regs[8];

static __bit rom_erase(void) __naked
{
    __asm
        mov     r0, (_erase_regs + 0)   ; DFLASH 0 sectors 0..7
        mov     r1, (_erase_regs + 1)   ; DFLASH 0 sectors 8..9
        mov     r2, (_erase_regs + 2)
        mov     r3, (_erase_regs + 3)   ; DFLASH 1 sectors 0..7
        mov     r4, (_erase_regs + 4)   ; DFLASH 1 sectors 8..9
        mov     r5, (_erase_regs + 5)   ; PFLASH pair 0
        mov     r6, (_erase_regs + 6)   ; PFLASH pair 1
        mov     r7, (_erase_regs + 7)   ; PFLASH pair 2
        lcall   ROM_ERASE
        cpl     c
        ret
    __endasm;
}

__bit flash_erase(uint8_t bank, uint16_t sectors)
{
    uint8_t i;
    for (i = 0; i < sizeof erase_regs; ++i) erase_regs[i] = 0;
    switch (bank) {
    case FLASH_BANK_PFLASH0:
    case FLASH_BANK_PFLASH1:
    case FLASH_BANK_PFLASH2:
        erase_regs[5 + bank] = (uint8_t)sectors & 0x07;
        break;
    case FLASH_BANK_DFLASH0:
        erase_regs[0] = (uint8_t)sectors;
        erase_regs[1] = (uint8_t)(sectors >> 8) & 0x03;
        break;
    case FLASH_BANK_DFLASH1:
        erase_regs[3] = (uint8_t)sectors;
        erase_regs[4] = (uint8_t)(sectors >> 8) & 0x03;
        break;
    default:
        return 0;
    }
    return rom_erase();
}

__bit flash_read_mode(uint8_t bank) __naked
{
    (void)bank; /* DPL */
    __asm
        mov     a, dpl
        lcall   ROM_READ_MODE_TEST      ; carry = read-mode bit of the bank
        ret
    __endasm;
}

__bit flash_erase_abort(void) __naked
{
    __asm
        lcall   ROM_ERASE_ABORT
        cpl     c
        ret
    __endasm;
}

int16_t flash_read_param(uint16_t address) __naked
{
    (void)address; /* DPTR */
    __asm
        lcall   ROM_READ_PARAM
        jc      00001$
        mov     dpl, a
        mov     dph, #0x00
        ret
00001$:
        mov     dpl, #0xFF
        mov     dph, #0xFF
        ret
    __endasm;
}

uint8_t flash_set_margin(uint8_t margin) __naked
{
    (void)margin; /* DPL */
    __asm
        mov     a, dpl
        lcall   ROM_SET_MARGIN
        mov     dpl, a
        ret
    __endasm;
}

void flash_hold_starts(void) __naked
{
    __asm
        ljmp    ROM_FCMD_SET0
    __endasm;
}

void flash_release_starts(void) __naked
{
    __asm
        ljmp    ROM_FCMD_CLR0
    __endasm;
}

/* ---- registers ---- */

static __data uint8_t saved_map, saved_page;

/* Makes flash register page `page` visible at 0xD1-0xDE. */
static void flash_page_enter(uint8_t page)
{
    saved_map = SFR_MAP;
    SFR_MAP = saved_map | MAP_BIT;
    saved_page = FLASH_PAGE;
    FLASH_PAGE = (saved_page & PAGE_KEEP) | page;
}

static void flash_page_leave(void)
{
    FLASH_PAGE = saved_page;
    SFR_MAP = saved_map;
}

/* Makes system page `page` visible (NMISTAT lives in page 0). */
static void system_page_enter(uint8_t page)
{
    saved_map = SFR_MAP;
    SFR_MAP = saved_map & (uint8_t)~MAP_BIT;
    saved_page = SYS_PAGE;
    SYS_PAGE = (saved_page & PAGE_KEEP) | page;
}

static void system_page_leave(void)
{
    SYS_PAGE = saved_page;
    SFR_MAP = saved_map;
}

uint8_t nmi_status(void)
{
    uint8_t v;
    system_page_enter(0);
    v = NMISTAT;
    system_page_leave();
    return v;
}

void nmi_clear(uint8_t bits)
{
    system_page_enter(0);
    NMISTAT &= (uint8_t)~bits;
    system_page_leave();
}

void nmi_enable(uint8_t bits)
{
    system_page_enter(0);
    NMICON |= bits;
    system_page_leave();
}

void nmi_disable(uint8_t bits)
{
    system_page_enter(0);
    NMICON &= (uint8_t)~bits;
    system_page_leave();
}

uint8_t flash_margin(void)
{
    uint8_t v;
    flash_page_enter(0);
    v = FMARGIN & 0x0F;
    flash_page_leave();
    return v;
}

void flash_abort(void)
{
    flash_page_enter(0);
    FCMD &= (uint8_t)~FCMD_RUN; /* 0x06 -> 0x04: abort */
    flash_page_leave();
}

uint8_t flash_wait(uint8_t bank)
{
    uint8_t done;
    while (!flash_read_mode(bank)) {
    }
    done = nmi_status() & NMI_FLASH_DONE;
    if (done) {
        nmi_clear(NMI_FLASH_DONE);
        flash_page_enter(3);
        FIRQCFG &= (uint8_t)~FIRQCFG_DONE;
        flash_page_leave();
    }
    return done;
}
