/* Waveform player whose sample table is large enough that the image
 * crosses the 64 KB boundary at 0x10000 (it ends near 0x13400). */
#include <stdint.h>
#include "board.h"
#include "fill.h"

/* 0x11000 samples: 0x2200 + 0x11000 puts the table's end beyond 0x13000. */
static const uint8_t samples[0x11000] = {
    FILL_65536(0xC3, 0),
    FILL_4096(0xC3, 10),
};

uint32_t play_position = 0x100;     /* initialised data, copied at reset */
static uint32_t level_sum;

int main(void)
{
    PORT_DIR |= 0xFFu;
    for (;;) {
        uint8_t s = samples[play_position % sizeof samples];
        PORT_OUT = (PORT_OUT & ~0xFFu) | s;
        level_sum += s;
        play_position += 7;
        wait_ticks(1);
    }
}
