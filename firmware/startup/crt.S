/* Reset vectors, mode stacks and memory initialisation for the LPC2138 (ARM state). */

#define MODE_UND 0x1B
#define MODE_ABT 0x17
#define MODE_FIQ 0x11
#define MODE_IRQ 0x12
#define MODE_SVC 0x13
#define MODE_SYS 0x1F
#define I_BIT 0x80                      /* IRQ masked */
#define F_BIT 0x40                      /* FIQ masked */

/* The exception stubs return at once and push nothing, so each mode's stack is one word. */
        .global UND_STACK_SIZE, ABT_STACK_SIZE, FIQ_STACK_SIZE, IRQ_STACK_SIZE, SVC_STACK_SIZE
        .set    UND_STACK_SIZE, 4
        .set    ABT_STACK_SIZE, 4
        .set    FIQ_STACK_SIZE, 4
        .set    IRQ_STACK_SIZE, 4
        .set    SVC_STACK_SIZE, 4

        .section .vectors, "ax"
        .arm
        .global _startup, _vectors, Reset_Handler
_startup:
_vectors:
        ldr     pc, Reset_Addr
        ldr     pc, Undef_Addr
        ldr     pc, SWI_Addr
        ldr     pc, PAbt_Addr
        ldr     pc, DAbt_Addr
        .word   0xE1A00000              /* mov r0, r0: lpc21isp writes the vector checksum here */
        ldr     pc, [pc, #-0xFF0]       /* 0x18 + 8 - 0xFF0 wraps to VICVectAddr, 0xFFFFF030 */
        ldr     pc, FIQ_Addr

/* Full 32-bit addresses, so the handlers can live anywhere in flash. */
Reset_Addr:     .word   Reset_Handler
Undef_Addr:     .word   UNDEF_Routine
SWI_Addr:       .word   SWI_Routine
PAbt_Addr:      .word   UNDEF_Routine
DAbt_Addr:      .word   UNDEF_Routine
IRQ_Addr:       .word   IRQ_Routine     /* unused by slot 6, kept for a non-vectored setup */
FIQ_Addr:       .word   FIQ_Routine
                .word   0               /* rounds the table to 64 bytes */

        .type   Reset_Handler, %function
Reset_Handler:
        /* Stacks are carved downward from the top of the RAM in use; interrupts stay masked
           in every mode for the whole run. */
        ldr     r0, =_stack_end
        msr     CPSR_c, #MODE_UND|I_BIT|F_BIT
        mov     sp, r0
        sub     r0, r0, #UND_STACK_SIZE
        msr     CPSR_c, #MODE_ABT|I_BIT|F_BIT
        mov     sp, r0
        sub     r0, r0, #ABT_STACK_SIZE
        msr     CPSR_c, #MODE_FIQ|I_BIT|F_BIT
        mov     sp, r0
        sub     r0, r0, #FIQ_STACK_SIZE
        msr     CPSR_c, #MODE_IRQ|I_BIT|F_BIT
        mov     sp, r0
        sub     r0, r0, #IRQ_STACK_SIZE
        msr     CPSR_c, #MODE_SVC|I_BIT|F_BIT
        mov     sp, r0
        sub     r0, r0, #SVC_STACK_SIZE
        /* main runs in System mode: privileged, with the rest of the RAM as its stack. */
        msr     CPSR_c, #MODE_SYS|I_BIT|F_BIT
        mov     sp, r0

        /* Initialised data: its image follows the code and constants in flash. Both loops move
           whole words and compare addresses unsigned (lo); the linker script keeps .data and
           .bss word-aligned and a whole number of words long. */
        ldr     r1, =_etext
        ldr     r2, =_data
        ldr     r3, =_edata
1:      cmp     r2, r3
        ldrlo   r0, [r1], #4
        strlo   r0, [r2], #4
        blo     1b

        mov     r0, #0
        ldr     r1, =_bss_start
        ldr     r2, =_bss_end
2:      cmp     r1, r2
        strlo   r0, [r1], #4
        blo     2b

        /* A jump, not a call: main never returns, and nothing is left to return to. */
        b       main
        .size   Reset_Handler, . - Reset_Handler
        .ltorg
