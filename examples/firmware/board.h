/* Registers of the example board: the ARM core's SysTick timer and a
 * general purpose output port at a fixed address of our own choosing. */
#ifndef EXAMPLE_BOARD_H
#define EXAMPLE_BOARD_H

#include <stdint.h>

#define REG32(addr) (*(volatile uint32_t *)(addr))

#define SYST_CSR REG32(0xE000E010u)
#define SYST_RVR REG32(0xE000E014u)
#define SYST_CVR REG32(0xE000E018u)

#define PORT_OUT REG32(0x40040000u)
#define PORT_DIR REG32(0x40040004u)

#define LED_PIN (1u << 3)

static inline void wait_ticks(uint32_t ticks)
{
    SYST_RVR = 0x00FFFFFFu;
    SYST_CVR = 0;
    SYST_CSR = 5u; /* core clock, enabled, no interrupt */
    while (ticks--) {
        while ((SYST_CSR & (1u << 16)) == 0) {
        }
    }
}

#endif
