/*
 * Interrupts example: a flash operation runs in the background while the CPU sleeps.
 *
 *   - Timer 0 in mode 2 (8-bit auto-reload) interrupts every TICK_CYCLES machine cycles; its
 *     handler counts ticks.
 *   - The flash completion is taken as the NMI (NMICON bit 2) instead of polled: the handler at
 *     0x0073 acknowledges it and tells the main loop.
 *   - printf() writes the log over the serial port (see serial.h: mode 1, 9600 baud).
 *
 * It programs one DFLASH 1 write block and then erases its sector; during each operation the
 * main loop sits in idle mode (PCON.IDL) and wakes on every tick until the NMI says the
 * operation is done. Then it prints how long the operation took in ticks and checks the flash.
 * (examples/check compares the tick counts with the flash's operation times.)
 *
 * Report area (see report.h), from 0x9F06:
 *   0x9F06  NMIs taken
 *   0x9F08  program: ticks from start to NMI (2, little-endian), wake-ups from idle (2)
 *   0x9F0C  erase:   ticks from start to NMI (2), wake-ups from idle (2)
 */
#include <8052.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "flash.h"
#include "regs.h"
#include "report.h"
#include "serial.h"

#define TICK_CYCLES    250  /* Timer 0 reload 256 - 250: 250 us per tick at 12 MHz */
#define TMOD_T0_MODE2  0x02

#define BLOCK_ADDRESS  0xB040                   /* DFLASH 1, sector 0 (0xB000-0xB3FF) */
#define BLOCK_VIEW     0x6040                   /* the same bytes in DFLASH 1's second view */
#define BLOCK_SECTOR   FLASH_SECTOR(0)
#define SECTOR_SIZE    0x400

#define NMIS           ((volatile __xdata uint8_t *)(REPORT_ADDRESS + 0x06))
#define PROGRAM_LOG    ((volatile __xdata uint16_t *)(REPORT_ADDRESS + 0x08))
#define ERASE_LOG      ((volatile __xdata uint16_t *)(REPORT_ADDRESS + 0x0C))

static volatile uint16_t ticks;     /* Timer 0 handler */
static volatile __bit flash_done;   /* NMI handler */
static volatile uint8_t nmis;       /* NMI handler */

void timer0_tick(void) __interrupt(TF0_VECTOR)
{
    ++ticks; /* TF0 is cleared by the hardware as the handler is entered */
}

/* The NMI can arrive between any two instructions: in the middle of a page switch in the main
 * program or in a ROM routine (so it saves both page registers, selects, acknowledges, restores)
 * and halfway through the tick handler's 16-bit increment (so it does not read `ticks`). */
void flash_nmi(void) __interrupt(NMI_INTERRUPT)
{
    const uint8_t map = SFR_MAP;
    uint8_t page;

    SFR_MAP = map & (uint8_t)~MAP_BIT;
    page = SYS_PAGE;
    SYS_PAGE = page & PAGE_KEEP;                 /* system page 0: NMISTAT */
    if (NMISTAT & NMI_FLASH_DONE) {
        NMISTAT &= (uint8_t)~NMI_FLASH_DONE;     /* a flag left set requests the NMI again */
        flash_done = 1;
        ++nmis;
    }
    SYS_PAGE = page;

    SFR_MAP = map | MAP_BIT;
    page = FLASH_PAGE;
    FLASH_PAGE = (page & PAGE_KEEP) | 3;         /* flash page 3: FIRQCFG */
    FIRQCFG &= (uint8_t)~FIRQCFG_DONE;
    FLASH_PAGE = page;
    SFR_MAP = map;
}

static void tick_start(void)
{
    TMOD = (TMOD & 0xF0) | TMOD_T0_MODE2;
    TH0 = (uint8_t)(256 - TICK_CYCLES);
    TL0 = (uint8_t)(256 - TICK_CYCLES);
    ET0 = 1;
    TR0 = 1;
}

/* A 16-bit variable the tick handler changes is read with its interrupt held off. */
static uint16_t tick_count(void)
{
    uint16_t t;
    ET0 = 0;
    t = ticks;
    ET0 = 1;
    return t;
}

/* Sleeps until the NMI reports the operation started just before; logs ticks and wake-ups.
 * The NMI ends the idle mode, so the ticks are read right after the completion. A completion
 * that comes between the test and PCON.IDL costs at most one tick: the tick interrupt ends the
 * idle mode too. */
static uint16_t sleep_until_done(volatile __xdata uint16_t *log)
{
    const uint16_t start = tick_count();
    uint16_t wakeups = 0;
    while (!flash_done) {
        PCON |= IDL;
        ++wakeups;
    }
    flash_done = 0;
    log[0] = tick_count() - start;
    log[1] = wakeups;
    return log[0];
}

/* ms with two decimals from a tick count, for the log. */
static void print_ms(uint16_t t)
{
    const uint32_t us = (uint32_t)t * TICK_CYCLES;
    printf("%lu.%02u ms", us / 1000, (unsigned)(us % 1000 / 10));
}

static uint8_t reads_erased(const __code uint8_t *p, uint16_t n)
{
    while (n--)
        if (*p++) return 0;
    return 1;
}

void main(void)
{
    static __idata uint8_t block[FLASH_DFLASH_BLOCK];
    const uint16_t sector = BLOCK_ADDRESS & ~(SECTOR_SIZE - 1);
    uint8_t i, started, ok;
    uint16_t t;

    report_start();
    serial_init();
    tick_start();
    nmi_clear(NMI_FLASH_DONE | NMI_FLASH_ECC);
    nmi_enable(NMI_FLASH_DONE);
    EA = 1;
    printf("interrupts: tick every %u cycles, flash completion by NMI\n", TICK_CYCLES);

    for (i = 0; i < sizeof block; ++i) block[i] = (uint8_t)(0xA5 ^ (i * 13));
    started = flash_program_block(BLOCK_ADDRESS, block);
    report_check(1, started);
    if (started) {
        t = sleep_until_done(PROGRAM_LOG);
        printf("program 0x%04X: NMI after %u ticks (", BLOCK_ADDRESS, t);
        print_ms(t);
        printf("), %u wake-ups\n", PROGRAM_LOG[1]);
        nmi_clear(NMI_FLASH_ECC);
        ok = memcmp((const __code uint8_t *)BLOCK_ADDRESS, block, sizeof block) == 0 &&
             memcmp((const __code uint8_t *)BLOCK_VIEW, block, sizeof block) == 0 && !(nmi_status() & NMI_FLASH_ECC);
        report_check(2, ok);
        printf("read back: %s\n", ok ? "ok" : "wrong");
    }

    started = flash_erase(FLASH_BANK_DFLASH1, BLOCK_SECTOR);
    report_check(3, started);
    if (started) {
        t = sleep_until_done(ERASE_LOG);
        printf("erase 0x%04X-0x%04X: NMI after %u ticks (", sector, sector + SECTOR_SIZE - 1, t);
        print_ms(t);
        printf("), %u wake-ups\n", ERASE_LOG[1]);
        ok = reads_erased((const __code uint8_t *)sector, SECTOR_SIZE);
        report_check(4, ok);
        printf("sector reads erased: %s\n", ok ? "yes" : "no");
    }

    /* One NMI per operation, and the handler left no flag to request another. */
    *NMIS = nmis;
    report_check(5, nmis == 2 && !(nmi_status() & NMI_FLASH_DONE));
    printf("%u NMIs, %u ticks in all: %s\n", nmis, tick_count(), REPORT->failed ? "FAILED" : "passed");

    /* Nothing may interrupt the final jump to itself, so that the run ends there. */
    EA = 0;
    nmi_disable(NMI_FLASH_DONE);
    report_finish();
}
