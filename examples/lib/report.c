#include "report.h"

uint8_t report_start(void)
{
    if (REPORT->magic[0] != 'P' || REPORT->magic[1] != 'F') {
        uint16_t i;
        for (i = 0; i < REPORT_SIZE; ++i) REPORT_BYTES[i] = 0;
        REPORT->magic[0] = 'P';
        REPORT->magic[1] = 'F';
    }
    REPORT->result = REPORT_RUNNING;
    return ++REPORT->boots;
}

void report_check(uint8_t number, uint8_t ok)
{
    if (ok) {
        ++REPORT->checks;
    } else if (REPORT->failed == 0) {
        REPORT->failed = number;
    }
}

void report_finish(void)
{
    REPORT->result = REPORT->failed == 0 && REPORT->checks != 0 ? REPORT_PASSED : REPORT_FAILED;
    for (;;) {
    }
}
