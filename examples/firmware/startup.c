/* Vector table and reset handler shared by every example image.
 *
 * The bootloader occupies flash below 0x2200 and jumps to the application
 * through the table placed at the start of the application image.  The
 * reset handler copies initialised data from its load address in flash to
 * RAM, clears .bss and calls main().
 */
#include <stdint.h>

extern uint32_t __stack_top;
extern uint32_t __data_load[], __data_start[], __data_end[];
extern uint32_t __bss_start[], __bss_end[];

int main(void);

void Reset_Handler(void);
void Default_Handler(void);

void Default_Handler(void)
{
    for (;;) {
    }
}

void NMI_Handler(void) __attribute__((weak, alias("Default_Handler")));
void HardFault_Handler(void) __attribute__((weak, alias("Default_Handler")));
void SVC_Handler(void) __attribute__((weak, alias("Default_Handler")));
void PendSV_Handler(void) __attribute__((weak, alias("Default_Handler")));
void SysTick_Handler(void) __attribute__((weak, alias("Default_Handler")));
void Irq_Handler(void) __attribute__((weak, alias("Default_Handler")));

typedef void (*vector_t)(void);

/* Cortex-M0: 16 core entries followed by 32 interrupt lines. */
__attribute__((section(".vectors"), used))
const vector_t vector_table[48] = {
    (vector_t)&__stack_top,
    Reset_Handler,
    NMI_Handler,
    HardFault_Handler,
    0, 0, 0, 0, 0, 0, 0,
    SVC_Handler,
    0, 0,
    PendSV_Handler,
    SysTick_Handler,
    Irq_Handler, Irq_Handler, Irq_Handler, Irq_Handler,
    Irq_Handler, Irq_Handler, Irq_Handler, Irq_Handler,
    Irq_Handler, Irq_Handler, Irq_Handler, Irq_Handler,
    Irq_Handler, Irq_Handler, Irq_Handler, Irq_Handler,
    Irq_Handler, Irq_Handler, Irq_Handler, Irq_Handler,
    Irq_Handler, Irq_Handler, Irq_Handler, Irq_Handler,
    Irq_Handler, Irq_Handler, Irq_Handler, Irq_Handler,
    Irq_Handler, Irq_Handler, Irq_Handler, Irq_Handler,
};

void Reset_Handler(void)
{
    volatile uint32_t *src = __data_load;
    volatile uint32_t *dst = __data_start;
    while (dst < __data_end) {
        *dst++ = *src++;
    }
    for (dst = __bss_start; dst < __bss_end; ) {
        *dst++ = 0;
    }
    main();
    for (;;) {
    }
}
