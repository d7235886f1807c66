/*
 * The examples' serial log: the serial port in mode 1 (start bit, 8 data bits, stop bit) at
 * 9600 baud, clocked by Timer 2 as baud-rate generator. With a 12 MHz oscillator Timer 2 counts
 * at 6 MHz in this mode and overflows every SERIAL_T2_COUNTS counts: 12 MHz / (32 * 39) = 9615
 * baud, 0.16 % fast, well inside what a receiver accepts. Timer 0 and Timer 1 stay free.
 *
 * putchar() sends one byte and waits until its stop bit has left (TI), so printf() output has
 * been sent completely when printf() returns. No interrupt is used: ES stays clear.
 * On pelto-sim the bytes appear in --serial-out FILE and in --json as "serial".
 */
#ifndef PELTO_EXAMPLES_SERIAL_H
#define PELTO_EXAMPLES_SERIAL_H

#define SERIAL_T2_COUNTS 39 /* Timer 2 reload 65536 - 39: 9615 baud at 12 MHz */

/* Sets up Timer 2 and the serial port (mode 1, receiver off). Call before the first printf(). */
void serial_init(void);

/* The character output of SDCC's printf(). */
int putchar(int c);

#endif
