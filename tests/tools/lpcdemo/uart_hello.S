@ Prints "hello\n" on UART0, 8 data bits, no parity, one stop bit, at PCLK / (16 x DIVISOR)
@ (given with --defsym), polling THRE before each byte, then polls RDR to echo what comes in:
@ nothing does on the board, and no frame is ever sent, so a run of it ends by --board-seconds.
@ With HALT defined it halts instead, its last two bytes still in the UART. Stubs of the functions
@ a single effect's run calls follow. The clocks are the firmware's:
@ CCLK = PCLK = 3 x 12 MHz = 36 MHz, so DIVISOR 234 gives 9615 baud, 20 gives 112500.
        .arm
        .syntax unified

        .set SYSCTL, 0xE01FC000         @ PLLCON +0x80, PLLCFG +0x84, PLLSTAT +0x88,
                                        @ PLLFEED +0x8C, VPBDIV +0x100
        .set PINSEL0, 0xE002C000
        .set U0, 0xE000C000             @ RBR/THR/DLL +0, DLM/IER +4, IIR/FCR +8, LCR +0xC,
                                        @ LSR +0x14

        .global _bss_end
        .set _bss_end, 0x40000800

        .text
        .global _startup
_startup:
        b       reset

        .org 0x40
reset:
        ldr     sp, =0x40001000
        b       main
        .ltorg

        .global main
main:
        ldr     r0, =SYSCTL
        mov     r1, #0x42               @ M = 3, P = 4: CCO 288 MHz
        strb    r1, [r0, #0x84]
        mov     r1, #1                  @ PLLE
        strb    r1, [r0, #0x80]
        bl      feed
lock:   ldrh    r1, [r0, #0x88]
        tst     r1, #0x400              @ PLOCK
        beq     lock
        mov     r1, #3                  @ PLLE | PLLC
        strb    r1, [r0, #0x80]
        bl      feed
        mov     r1, #1                  @ PCLK = CCLK
        strb    r1, [r0, #0x100]

        ldr     r0, =PINSEL0
        mov     r1, #0x5                @ P0.0 TXD0, P0.1 RXD0
        str     r1, [r0]
        ldr     r0, =U0
        mov     r1, #0x83               @ 8 bits, DLAB
        strb    r1, [r0, #0xC]
        mov     r1, #(DIVISOR & 0xFF)
        strb    r1, [r0]                @ U0DLL
        mov     r1, #(DIVISOR >> 8)
        strb    r1, [r0, #4]            @ U0DLM
        mov     r1, #0x03               @ 8 bits, DLAB off
        strb    r1, [r0, #0xC]
        mov     r1, #0x07               @ FIFOs on and emptied
        strb    r1, [r0, #8]

        ldr     r2, =text
next:   ldrb    r1, [r2], #1
        cmp     r1, #0
        .ifdef HALT
        beq     halt
        .else
        beq     idle
        .endif
wait:   ldrb    r3, [r0, #0x14]         @ U0LSR
        tst     r3, #0x20               @ THRE
        beq     wait
        strb    r1, [r0]                @ U0THR
        b       next

        .global idle
idle:   ldrb    r3, [r0, #0x14]         @ U0LSR
        tst     r3, #0x01               @ RDR
        beq     idle
        ldrb    r1, [r0]                @ U0RBR
        strb    r1, [r0]                @ U0THR
        b       idle

halt:   b       halt

feed:   mov     r1, #0xAA
        strb    r1, [r0, #0x8C]
        mov     r1, #0x55
        strb    r1, [r0, #0x8C]
        bx      lr
        .ltorg

@ What a run of one effect calls (--effect cake or plasma): bring-up and the palette return at
@ once, the cake returns without sending a frame, the plasma spins for ever touching no register.
        .global processor_init, io_init, lcd_init, calibratead, initpal, effectCake, effectPlasma
processor_init:
io_init:
lcd_init:
calibratead:
initpal:
effectCake:
        bx      lr
effectPlasma:
        add     r1, r1, #1
        b       effectPlasma

        .section .rodata
text:   .asciz  "hello\n"
