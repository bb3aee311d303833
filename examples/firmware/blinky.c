/* The small example: blinks an LED with a brightness ramp and keeps a
 * running checksum of its pattern table in RAM. */
#include <stdint.h>
#include "board.h"
#include "fill.h"

/* Perceived-brightness ramp, 0..255, used as on-time per step. */
static const uint8_t ramp[64] = {
      0,   1,   2,   3,   4,   6,   8,  10,  12,  15,  18,  21,  25,  29,  33,  37,
     42,  47,  52,  58,  64,  70,  76,  83,  90,  97, 105, 113, 121, 129, 138, 147,
    156, 165, 174, 183, 192, 200, 208, 215, 222, 228, 234, 239, 243, 247, 250, 252,
    254, 255, 255, 254, 252, 250, 247, 243, 239, 234, 228, 222, 215, 208, 200, 192,
};

/* Blink sequence: on and off times in SysTick wraps. */
static const uint16_t sequence[][2] = {
    {3, 3}, {3, 3}, {3, 9}, {9, 3}, {9, 3}, {9, 9}, {3, 3}, {3, 3}, {3, 27},
};

/* Ordered dither added to the ramp so that slow fades do not step. */
static const uint8_t dither[2048] = {
    FILL_256(0x5A, 0), FILL_256(0x5A, 1), FILL_256(0x5A, 2), FILL_256(0x5A, 3),
    FILL_256(0x5A, 4), FILL_256(0x5A, 5), FILL_256(0x5A, 6), FILL_256(0x5A, 7),
};

const char banner[] = "row-file example image: LED on port bit 3, brightness ramp";

uint32_t blink_count = 7;           /* initialised data, copied at reset */
uint8_t crc_table[256];             /* filled at start-up */
static uint32_t pattern_crc;

static void build_crc_table(void)
{
    for (unsigned n = 0; n < 256; n++) {
        uint8_t c = (uint8_t)n;
        for (int k = 0; k < 8; k++) {
            c = (uint8_t)((c & 0x80u) ? ((unsigned)c << 1) ^ 0x07u : ((unsigned)c << 1));
        }
        crc_table[n] = c;
    }
}

static uint8_t crc8(const uint8_t *p, unsigned n)
{
    uint8_t c = 0;
    while (n--) {
        c = crc_table[c ^ *p++];
    }
    return c;
}

static void pwm_step(uint8_t level, unsigned phase)
{
    for (unsigned t = 0; t < 256; t++) {
        if (t + (dither[(phase + t) & 2047u] & 3u) < level) {
            PORT_OUT |= LED_PIN;
        } else {
            PORT_OUT &= ~LED_PIN;
        }
    }
}

int main(void)
{
    PORT_DIR |= LED_PIN;
    build_crc_table();
    pattern_crc = crc8(ramp, sizeof ramp) ^ crc8((const uint8_t *)banner, sizeof banner);

    for (;;) {
        for (unsigned i = 0; i < sizeof sequence / sizeof sequence[0]; i++) {
            PORT_OUT |= LED_PIN;
            wait_ticks(sequence[i][0]);
            PORT_OUT &= ~LED_PIN;
            wait_ticks(sequence[i][1]);
        }
        for (unsigned i = 0; i < sizeof ramp; i++) {
            pwm_step(ramp[i], i * 32u + blink_count);
        }
        blink_count++;
        if ((blink_count & 15u) == 0) {
            pattern_crc = crc8((const uint8_t *)&blink_count, sizeof blink_count) ^ pattern_crc;
        }
    }
}
