/* An image that uses the whole application flash, 0x2200 to 0x1FFFF:
 * a resource table up to row 0x1FF, a trailer record in the last 64 bytes
 * of flash, and two sections whose load addresses lie far outside flash
 * (an external memory image at 0x100000 and a RAM preload at 0x20001000). */
#include <stdint.h>
#include "board.h"
#include "fill.h"

/* 0x1CF30 bytes placed at 0x3000 by the linker script: up to 0x1FF30. */
__attribute__((section(".resources"), used))
const uint8_t resources[0x1CF30] = {
    FILL_65536(0x3C, 0),
    FILL_4096(0x3C, 10), FILL_4096(0x3C, 11), FILL_4096(0x3C, 12),
    FILL_4096(0x3C, 13), FILL_4096(0x3C, 14), FILL_4096(0x3C, 15),
    FILL_4096(0x3C, 16), FILL_4096(0x3C, 17), FILL_4096(0x3C, 18),
    FILL_4096(0x3C, 19), FILL_4096(0x3C, 1A), FILL_4096(0x3C, 1B),
    FILL_256(0x3C, 1C0), FILL_256(0x3C, 1C1), FILL_256(0x3C, 1C2),
    FILL_256(0x3C, 1C3), FILL_256(0x3C, 1C4), FILL_256(0x3C, 1C5),
    FILL_256(0x3C, 1C6), FILL_256(0x3C, 1C7), FILL_256(0x3C, 1C8),
    FILL_256(0x3C, 1C9), FILL_256(0x3C, 1CA), FILL_256(0x3C, 1CB),
    FILL_256(0x3C, 1CC), FILL_256(0x3C, 1CD), FILL_256(0x3C, 1CE),
    FILL_16(0x3C, 1CF0), FILL_16(0x3C, 1CF1), FILL_16(0x3C, 1CF2),
};

/* The trailer: 64 bytes at 0x1FFC0, the last 64 bytes of flash and so the
 * metadata area of row 0x1FF. Its first 12 bytes are zero placeholders that
 * the row file's metadata record replaces; the trailer's own fields follow. */
struct trailer {
    uint8_t metadata_record[12];
    uint32_t magic;
    uint32_t version;
    uint32_t resources_size;
    uint8_t name[28];
    uint32_t words[3];
};

__attribute__((section(".trailer"), used))
const struct trailer image_trailer = {
    {0}, 0x54524C52u, 0x00010203u, sizeof resources,
    "full-flash trailer record", {0xA5A5A5A5u, 0x5A5A5A5Au, 0xDEADBEEFu},
};

/* Loaded by a programmer into external memory, never into this flash. */
__attribute__((section(".external"), used))
const uint8_t external_table[48] = { FILL_16(0x77, 0), FILL_16(0x77, 1), FILL_16(0x77, 2) };

/* Preloaded into RAM by a debugger, never part of the flash image. */
__attribute__((section(".ram_preload"), used))
const uint8_t ram_preload[32] = { FILL_16(0x99, 0), FILL_16(0x99, 1) };

uint32_t scan_step = 13;            /* initialised data, copied at reset */

int main(void)
{
    uint32_t sum = 0, i = 0;
    for (;;) {
        sum += resources[i];
        i = (i + scan_step) % sizeof resources;
        if (i < scan_step) {
            PORT_OUT = sum ^ image_trailer.magic;
        }
    }
}
