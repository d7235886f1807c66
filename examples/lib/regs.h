/* Special function registers of the simulated chip that the examples reach directly.
 *
 * Paging: with the map bit (bit 0 of SFR 0x8F) set, SFR 0xDF is the flash page register and
 * flash page n appears at 0xD1-0xDE; with it clear, SFR 0xBF selects the system page that
 * appears at 0xB2, 0xBA-0xBC and 0xE9. Select a page, access, then restore both. */
#ifndef PELTO_EXAMPLES_REGS_H
#define PELTO_EXAMPLES_REGS_H

#include <stdint.h>

__sfr __at(0x8F) SFR_MAP;    /* bit 0: the map bit */
__sfr __at(0xBF) SYS_PAGE;   /* system page register (map bit clear) */
__sfr __at(0xDF) FLASH_PAGE; /* flash page register (map bit set) */

__sfr __at(0xBB) NMICON;     /* system page 0: bit n enables the NMI for NMISTAT bit n */
__sfr __at(0xBC) NMISTAT;    /* system page 0 */
__sfr __at(0xDD) FMARGIN;    /* flash page 0; the same address is FIRQCFG in flash page 3 */
__sfr __at(0xDD) FIRQCFG;    /* flash page 3 */
__sfr __at(0xDE) FCMD;       /* flash page 0 */

#define MAP_BIT      0x01
#define PAGE_KEEP    0x38 /* page registers: bits 5..3 are not the page number */
#define FCMD_RUN     0x02 /* FCMD low nibble 6 runs an operation; clearing bit 1 aborts it */
#define FIRQCFG_DONE 0x20

#endif
