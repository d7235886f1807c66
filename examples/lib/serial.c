#include "serial.h"

#include <8052.h>
#include <stdint.h>

#define T2_RELOAD     ((uint16_t)(0x10000ul - SERIAL_T2_COUNTS))
#define SCON_MODE1    0x40 /* SM0 = 0, SM1 = 1: 8-bit UART, variable baud rate */
#define T2CON_BAUD    0x30 /* RCLK and TCLK: Timer 2 clocks both directions */

void serial_init(void)
{
    T2CON = 0;                  /* stop Timer 2 while it is set up */
    RCAP2H = T2_RELOAD >> 8;
    RCAP2L = T2_RELOAD & 0xFF;
    TH2 = T2_RELOAD >> 8;
    TL2 = T2_RELOAD & 0xFF;
    T2CON = T2CON_BAUD;
    TR2 = 1;
    SCON = SCON_MODE1;          /* TI and RI clear */
}

int putchar(int c)
{
    SBUF = (uint8_t)c;
    while (!TI) {
    }
    TI = 0;
    return c;
}
