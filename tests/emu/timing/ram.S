@ Code in RAM (linked at 0x40000000): its fetches never wait, whatever the accelerator does;
@ its reads of flash go through the accelerator's data buffer (UM10120, MAM chapter): in full
@ mode a read of the line the buffer holds waits nothing, any other M - 1 = 2 at MAMTIM = 3; in
@ partial mode and off, every flash read waits M - 1. Each loop ends in subs (1) and bne taken
@ (3): 4 of each pass.
        .include "common.inc"

        .balign 16
table:                                  @ two lines of flash to read
        .word   0x10, 0x11, 0x12, 0x13, 0x20, 0x21, 0x22, 0x23

        .section .ramcode, "ax", %progbits

@ probe: ram_loop_off
@ mam: off 3
@ expect: 5
@ add (1) + 4: no fetch from RAM waits, even with the accelerator off.
        .balign 16
        .global ram_loop_off
ram_loop_off:
1:      add     r1, r1, #1
        subs    r0, r0, #1
        bne     1b
        bx      lr

@ probe: ram_load_ram
@ mam: off 3
@ expect: 16
@ ldr, ldrb, ldrh, ldrsb from RAM, 3 each, none waiting: 12 + 4.
        .balign 16
        .global ram_load_ram
ram_load_ram:
        ldr     r2, =LOADS
1:      ldr     r1, [r2]
        ldrb    r1, [r2, #1]
        ldrh    r1, [r2, #2]
        ldrsb   r1, [r2, #3]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg


@ probe: ram_flash_same
@ mam: full 3
@ expect: 7
@ ldr of the same flash word each pass: in the data buffer after the first. 3 + 4.
        .balign 16
        .global ram_flash_same
ram_flash_same:
        ldr     r6, =table
1:      ldr     r1, [r6]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: ram_flash_same_partial
@ mam: partial 3
@ expect: 9
@ The same with the accelerator partly on: every data read waits 2. 3 + 2 + 4.
        .balign 16
        .global ram_flash_same_partial
ram_flash_same_partial:
        ldr     r6, =table
1:      ldr     r1, [r6]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: ram_flash_same_off
@ mam: off 3
@ expect: 9
@ And off: 3 + 2 + 4.
        .balign 16
        .global ram_flash_same_off
ram_flash_same_off:
        ldr     r6, =table
1:      ldr     r1, [r6]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: ram_flash_one_line
@ mam: full 3
@ expect: 13
@ Three loads from one line of flash (table + 0, 4, 12): all in the buffer after the first
@ pass. 3 * 3 + 4.
        .balign 16
        .global ram_flash_one_line
ram_flash_one_line:
        ldr     r6, =table
1:      ldr     r1, [r6]
        ldr     r1, [r6, #4]
        ldr     r1, [r6, #12]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: ram_flash_two_lines
@ mam: full 3
@ expect: 14
@ Loads from table + 0 and table + 16, two lines: each misses the buffer, which holds the
@ other. (3 + 2) * 2 + 4.
        .balign 16
        .global ram_flash_two_lines
ram_flash_two_lines:
        ldr     r6, =table
1:      ldr     r1, [r6]
        ldr     r1, [r6, #16]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: ram_flash_ldm
@ mam: full 3
@ expect: 20
@ ldmia of the four words of table's first line, then of its second (4S + 1N + 1I = 6 each):
@ each one's first word misses the buffer, which holds the other line (2); its next three
@ are in the line it just read. 6 + 2 + 6 + 2 + 4.
        .balign 16
        .global ram_flash_ldm
ram_flash_ldm:
        ldr     r6, =table
        add     r7, r6, #16
1:      ldmia   r6, {r1-r4}
        ldmia   r7, {r1-r4}
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: ram_flash_ldm_partial
@ mam: partial 3
@ expect: 32
@ The same with the accelerator partly on, where every data read is a flash read: 8 words,
@ each waiting 2. 6 + 6 + 8 * 2 + 4.
        .balign 16
        .global ram_flash_ldm_partial
ram_flash_ldm_partial:
        ldr     r6, =table
        add     r7, r6, #16
1:      ldmia   r6, {r1-r4}
        ldmia   r7, {r1-r4}
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg
