/*
 * Where an example leaves its outcome: a report area in external data memory at 0x9F00, outside
 * the ECC shadow of every flash bank (0x0000-0x7FFF, 0xA000-0xBFFF) and outside the variables
 * the linker places from 0x8000. The start-up code does not clear it, so it survives a reset
 * (pelto-sim --reset-at keeps RAM); a power cut refills it (--power-cut-at), and the next start
 * begins a new report. Read it with `pelto-sim --json --dump xdata:0x9F00:LEN`.
 *
 *   0x9F00  'P' 'F'   the report is valid
 *   0x9F02  result    0 running, 1 passed, 0xFF failed
 *   0x9F03  failed    number of the first check that failed (0: none)
 *   0x9F04  checks    number of checks that passed
 *   0x9F05  boots     number of starts since the report began (1 after a power-on)
 *   0x9F06  (example-specific from here on)
 */
#ifndef PELTO_EXAMPLES_REPORT_H
#define PELTO_EXAMPLES_REPORT_H

#include <stdint.h>

#define REPORT_ADDRESS 0x9F00
#define REPORT_SIZE    0x100

#define REPORT_RUNNING 0x00
#define REPORT_PASSED  0x01
#define REPORT_FAILED  0xFF

struct report_header {
    uint8_t magic[2];
    uint8_t result;
    uint8_t failed;
    uint8_t checks;
    uint8_t boots;
};

#define REPORT ((volatile __xdata struct report_header *)REPORT_ADDRESS)
#define REPORT_BYTES ((volatile __xdata uint8_t *)REPORT_ADDRESS)

/* Counts this start. On the first start after power-on (no valid report yet) the area is
 * cleared first. Returns the number of starts, 1 for the first. */
uint8_t report_start(void);

/* Records the outcome of check `number` (1..255). */
void report_check(uint8_t number, uint8_t ok);

/* Stores the final result and stops the program (a jump to itself, which ends pelto-sim). */
void report_finish(void);

#endif
