/* Calibration records at fixed, deliberately odd flash addresses, with
 * gaps between them: some share a row, some run over a row end, one
 * crosses the 64 KB boundary.  The addresses are set in scattered.ld. */
#include <stdint.h>
#include "board.h"
#include "fill.h"

#define RECORD(name, sect, n, ...) \
    __attribute__((section(sect), used)) const uint8_t name[n] = { __VA_ARGS__ }

RECORD(cal_a, ".cal_a", 37, FILL_16(1, 0), FILL_16(1, 1), 0xA0, 0xA1, 0xA2, 0xA3, 0xA4);
RECORD(cal_b, ".cal_b", 17, FILL_16(2, 0), 0xB0);
RECORD(cal_c, ".cal_c", 48, FILL_16(3, 0), FILL_16(3, 1), FILL_16(3, 2));
RECORD(cal_d, ".cal_d", 43, FILL_16(4, 0), FILL_16(4, 1), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11);
RECORD(cal_e, ".cal_e", 3, 0xE0, 0xE1, 0xE2);
RECORD(cal_f, ".cal_f", 497, FILL_256(6, 0), FILL_16(6, 10), FILL_16(6, 11), FILL_16(6, 12),
       FILL_16(6, 13), FILL_16(6, 14), FILL_16(6, 15), FILL_16(6, 16), FILL_16(6, 17), FILL_16(6, 18),
       FILL_16(6, 19), FILL_16(6, 1A), FILL_16(6, 1B), FILL_16(6, 1C), FILL_16(6, 1D), FILL_16(6, 1E),
       0xF0);
RECORD(cal_g, ".cal_g", 5, 0x61, 0x62, 0x63, 0x64, 0x65);
RECORD(cal_h, ".cal_h", 45, FILL_16(8, 0), FILL_16(8, 1), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13);
RECORD(cal_i, ".cal_i", 37, FILL_16(9, 0), FILL_16(9, 1), 0x90, 0x91, 0x92, 0x93, 0x94);
RECORD(cal_j, ".cal_j", 10, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xA0);

static const uint8_t *const records[] = {
    cal_a, cal_b, cal_c, cal_d, cal_e, cal_f, cal_g, cal_h, cal_i, cal_j,
};

uint32_t record_index = 3;          /* initialised data, copied at reset */

int main(void)
{
    for (;;) {
        PORT_OUT = records[record_index % 10u][0];
        record_index++;
        wait_ticks(2);
    }
}
