@ A small image for the emulator's tests: each routine sits at a fixed address so the tests
@ know where every instruction is, and does one thing whose cost or fault is known.
        .arm
        .syntax unified
        .text

        .global _bss_end
        .set _bss_end, 0x40000800       @ the main stack may not go below this
        .set STACK_TOP, 0x40001000
        .set MODE_SYS, 0xDF             @ System mode, IRQ and FIQ masked

        .global _startup
_startup:
        b       reset

        .org 0x40
reset:
        msr     cpsr_c, #MODE_SYS
        ldr     sp, =STACK_TOP
        b       main
        .ltorg

        .org 0x80
        .global main
main:
        b       main                    @ the halt loop

@ 10 passes of a counted loop: 1 + 10 * 1 (subs) + 9 * 3 (bne taken) + 1 (bne not taken)
@ + 3 (bx) = 42 clocks.
        .org 0x100
        .global loop10
loop10:
        mov     r0, #10
1:      subs    r0, r0, #1
        bne     1b
        bx      lr

@ A conditional load after a compare in the same block: r0 = 0 skips it.
        .org 0x140
        .global cond_exit
cond_exit:
        ldr     r2, =0x40000000
        cmp     r0, #0
        ldrne   r1, [r2]
        bx      lr
        .ltorg

@ A conditional load at the start of a block, on flags set by the block before.
        .org 0x180
        .global cond_entry
cond_entry:
        ldr     r2, =0x40000000
        cmp     r0, #0
        b       1f
1:      ldrne   r1, [r2]
        bx      lr
        .ltorg

@ Multiplies by r0, read as the block starts and as it ends.
        .org 0x1c0
        .global mul_entry
mul_entry:
        mul     r2, r1, r0
        bx      lr

        .org 0x1e0
        .global mul_exit
mul_exit:
        mov     r3, r0
        mul     r2, r1, r3
        bx      lr

@ Memory accelerator mode r0 with r1-clock flash fetches, changed while it is off.
        .org 0x200
        .global mam_set
mam_set:
        ldr     r2, =0xE01FC000         @ MAMCR; MAMTIM at +4
        mov     r3, #0
        strb    r3, [r2]
        strb    r1, [r2, #4]
        strb    r0, [r2]
        bx      lr
        .ltorg

        .org 0x240
        .global undefined_insn
undefined_insn:
        nop
        .word   0xE7F000F0              @ permanently undefined
        bx      lr

        .org 0x280
        .global swi_call
swi_call:
        nop
        swi     0
        bx      lr

        .org 0x2c0
        .global write_flash
write_flash:
        mov     r0, #0x100
        str     r0, [r0]
        bx      lr

        .org 0x300
        .global read_unmapped
read_unmapped:
        ldr     r0, =0x80000000
        ldr     r1, [r0]
        bx      lr
        .ltorg

        .org 0x340
        .global fetch_unmapped
fetch_unmapped:
        ldr     r0, =0x80000000
        bx      r0
        .ltorg

@ Takes 4 KB of stack, which reaches below _bss_end, and calls a leaf with it.
        .org 0x380
        .global overflow
overflow:
        push    {lr}
        sub     sp, sp, #0x1000
        bl      leaf
        add     sp, sp, #0x1000
        pop     {lr}
        bx      lr
        .global leaf
leaf:
        bx      lr

@ SPI0 (0xE0020010) has no register here.
        .org 0x3c0
        .global bad_register
bad_register:
        ldr     r0, =0xE0020010
        str     r1, [r0]
        bx      lr
        .ltorg

@ Never sends a frame and never halts.
        .org 0x400
        .global hang
hang:
        nop
        b       hang

@ Polls U0LSR for a received byte, which never comes: a poll that never ends.
        .global hang_poll
hang_poll:
        ldr     r2, =0xE000C000         @ U0
1:      ldrb    r3, [r2, #0x14]         @ U0LSR
        tst     r3, #0x01               @ RDR
        beq     1b
        bx      lr
        .ltorg

@ SPI0 as the LCD link uses it: pins, 9-bit master, clock = PCLK / 8; the LCD out of reset
@ and selected (P0.8 high, P0.7 low) through the fast GPIO.
        .org 0x440
        .global spi_setup
spi_setup:
        ldr     r0, =0xE002C000         @ PINSEL0
        ldr     r1, =0x1105
        str     r1, [r0]
        ldr     r0, =0xE0020000         @ S0SPCR
        ldr     r1, =0x093C
        strh    r1, [r0]
        mov     r1, #8
        strb    r1, [r0, #0xC]          @ S0SPCCR
        ldr     r0, =0xE01FC1A0         @ SCS
        mov     r1, #1
        str     r1, [r0]
        ldr     r0, =0x3FFFC000         @ FIO0DIR
        ldr     r1, =0x3D0
        str     r1, [r0]
        mov     r1, #0x100
        str     r1, [r0, #0x18]         @ FIO0SET: reset released
        mov     r1, #0x80
        str     r1, [r0, #0x1C]         @ FIO0CLR: selected
        bx      lr
        .ltorg

@ Sends r0 and polls S0SPSR.SPIF; the two differ only in TST against ANDS, which cost the
@ same and set Z alike, but only the TST form reads as a pure poll loop.
        .org 0x4c0
        .global poll_tst
poll_tst:
        ldr     r2, =0xE0020000
        strh    r0, [r2, #8]            @ S0SPDR
1:      ldrb    r3, [r2, #4]            @ S0SPSR
        tst     r3, #0x80
        beq     1b
        bx      lr
        .ltorg

        .org 0x500
        .global poll_ands
poll_ands:
        ldr     r2, =0xE0020000
        strh    r0, [r2, #8]
1:      ldrb    r3, [r2, #4]
        ands    r3, r3, #0x80
        beq     1b
        bx      lr
        .ltorg

@ A/D converter 0 on AD0.1 at PCLK / 256, powered, no conversion yet.
        .org 0x540
        .global adc_setup
adc_setup:
        ldr     r0, =0xE0034000         @ AD0CR
        ldr     r1, =0x0020FF02
        str     r1, [r0]
        bx      lr
        .ltorg

@ One conversion, polled until AD0GDR.DONE (bit 31); returns AD0GDR. The three differ only
@ in how the poll tests DONE, at the same cost: CMP and TST read as poll loops, CMN does not.
        .org 0x580
        .global adc_cmp
adc_cmp:
        ldr     r2, =0xE0034000
        ldr     r3, [r2]
        orr     r3, r3, #0x01000000     @ START = 001
        str     r3, [r2]
1:      ldr     r3, [r2, #4]
        cmp     r3, #0
        bge     1b
        ldr     r0, [r2, #4]
        bx      lr
        .ltorg

        .org 0x5c0
        .global adc_cmn
adc_cmn:
        ldr     r2, =0xE0034000
        ldr     r3, [r2]
        orr     r3, r3, #0x01000000
        str     r3, [r2]
1:      ldr     r3, [r2, #4]
        cmn     r3, #0
        bge     1b
        ldr     r0, [r2, #4]
        bx      lr
        .ltorg

        .org 0x600
        .global adc_tst
adc_tst:
        ldr     r2, =0xE0034000
        ldr     r3, [r2]
        orr     r3, r3, #0x01000000
        str     r3, [r2]
1:      ldr     r3, [r2, #4]
        tst     r3, #0x80000000
        beq     1b
        ldr     r0, [r2, #4]
        bx      lr
        .ltorg

@ Jumps into the vector table as a broken function pointer would.
        .org 0x640
        .global jump_vector
jump_vector:
        nop
        mov     pc, #0x08

        .org 0x660
        .global jump_undef_vector
jump_undef_vector:
        mov     pc, #0x04

@ A word of flash at r0 read, or r1 written there; flash beyond this image is erased.
        .org 0x680
        .global load_word
load_word:
        ldr     r1, [r0]
        bx      lr

        .org 0x6c0
        .global store_word
store_word:
        str     r1, [r0]
        bx      lr

@ Two words written during one transfer: the second collides with the first and is lost.
        .org 0x700
        .global collide_tst
collide_tst:
        ldr     r2, =0xE0020000
        strh    r0, [r2, #8]
        mov     r1, #20                 @ some 80 clocks: well into the first transfer
2:      subs    r1, r1, #1
        bne     2b
        strh    r0, [r2, #8]
1:      ldrb    r3, [r2, #4]
        tst     r3, #0x80
        beq     1b
        bx      lr
        .ltorg

        .org 0x740
        .global collide_ands
collide_ands:
        ldr     r2, =0xE0020000
        strh    r0, [r2, #8]
        mov     r1, #20
2:      subs    r1, r1, #1
        bne     2b
        strh    r0, [r2, #8]
1:      ldrb    r3, [r2, #4]
        ands    r3, r3, #0x80
        beq     1b
        bx      lr
        .ltorg

@ A conditional load between two compares in one block: the first one decides it.
        .org 0x780
        .global cond_between
cond_between:
        ldr     r2, =0x40000000
        cmp     r0, #0
        ldrne   r1, [r2]
        cmp     r0, #1
        bx      lr
        .ltorg

@ A multiply whose multiplier is set before it and changed after it in the same block.
        .org 0x7c0
        .global mul_between
mul_between:
        mov     r3, r0
        mul     r2, r1, r3
        mov     r3, #0
        bx      lr

@ Sends the word of RAM at r0 to the LCD, after spi_setup.
        .org 0x800
        .global send_ram_word
send_ram_word:
        ldr     r0, [r0]
        b       poll_tst

@ Stores below _bss_end through a stack pointer that is back in range by the block's end.
        .org 0x840
        .global deep_store
deep_store:
        sub     sp, sp, #0x1000
        str     r0, [sp, #4]
        add     sp, sp, #0x1000
        bx      lr

@ Straight-line code over four flash lines from 0x880, cut into blocks by branches never
@ taken: 17 instructions, 19 clocks (each bne not taken 1, bx 3).
        .org 0x880
        .global straight
straight:
        cmp     r0, r0                  @ Z set
        nop
        nop
        nop
        nop
        nop
        nop
        bne     straight                @ a block of two lines ends at 0x8a0
        nop
        nop
        nop
        bne     straight                @ one line
        nop
        nop
        nop
        bne     straight                @ one line
        bx      lr

@ Loads that write their base register back, then a multiply by it: 0xfc has one significant
@ byte, 0xfc + 0x100 and 0xfc + 0xf0 two.
        .org 0x900
        .global post_index
post_index:
        ldr     r2, [r0], #0x100
        mul     r3, r2, r0
        bx      lr

        .org 0x910
        .global pre_index
pre_index:
        ldrh    r2, [r0, #0xf0]!
        mul     r3, r2, r0
        bx      lr

@ A store that moves sp below _bss_end by post-indexed write-back; the next block puts it back.
        .org 0x920
        .global post_store_sp
post_store_sp:
        str     r1, [sp], #-0xff0
        b       1f
1:      add     sp, sp, #0xff0
        bx      lr

@ Calls of leaf through a register, as code for ARMv4T calls a function pointer.
        .org 0x940
        .global call_bx
call_bx:
        push    {lr}
        ldr     r1, =leaf
        mov     lr, pc
        bx      r1
        pop     {lr}
        bx      lr
        .ltorg

        .org 0x960
        .global call_ldr
call_ldr:
        push    {lr}
        mov     lr, pc
        ldr     pc, =leaf
        pop     {lr}
        bx      lr
        .ltorg

@ Sends r0, waits r1 passes of a counted loop and a multiply by r2, then polls S0SPSR.SPIF; as
@ poll_tst and poll_ands, only the TST form reads as a pure poll loop.
        .org 0x980
        .global poll_late_tst
poll_late_tst:
        ldr     r3, =0xE0020000
        strh    r0, [r3, #8]            @ S0SPDR
        mul     r12, r2, r2
2:      subs    r1, r1, #1
        bne     2b
1:      ldrb    r12, [r3, #4]           @ S0SPSR
        tst     r12, #0x80
        beq     1b
        bx      lr
        .ltorg

        .org 0x9c0
        .global poll_late_ands
poll_late_ands:
        ldr     r3, =0xE0020000
        strh    r0, [r3, #8]
        mul     r12, r2, r2
2:      subs    r1, r1, #1
        bne     2b
1:      ldrb    r12, [r3, #4]
        ands    r12, r12, #0x80
        beq     1b
        bx      lr
        .ltorg

@ NZCV from the top four bits of r0, then r1 stored to r2 under one condition: store_eq at
@ 0xa00, store_ne at 0xa10, ... store_al at 0xae0.
        .org 0xa00
        .irp cond, eq, ne, cs, cc, mi, pl, vs, vc, hi, ls, ge, lt, gt, le, al
        .balign 16
        .global store_\cond
store_\cond:
        msr     cpsr_f, r0
        str\cond r1, [r2]
        bx      lr
        .endr

@ A multiply that overwrites its own multiplier, set before it in the same block.
        .org 0xb00
        .global mul_self
mul_self:
        mov     r3, r0
        mul     r3, r1, r3
        bx      lr

@ Calls leaf when r0 is not zero.
        .org 0xb40
        .global call_if
call_if:
        push    {lr}
        cmp     r0, #0
        blne    leaf
        pop     {lr}
        bx      lr

@ A multiply-accumulate by r0 under a condition: skipped when r0 is zero.
        .org 0xb80
        .global mla_if
mla_if:
        cmp     r0, #0
        mlane   r2, r1, r0, r2
        bx      lr

@ A branch to the next instruction, taken when r0 is zero: it goes on there either way.
        .org 0xbc0
        .global branch_next
branch_next:
        cmp     r0, #0
        beq     1f
1:      bx      lr

@ Transfers at r0, which need not be aligned: a word, halfword or signed halfword loaded into
@ FIO0MASK (0x3FFFC010, after spi_setup) for the test to read, r1 stored as a word or halfword.
        .org 0xc00
        .global unaligned_ldr
unaligned_ldr:
        ldr     r1, [r0]
        ldr     r2, =0x3FFFC010
        str     r1, [r2]
        bx      lr
        .ltorg

        .org 0xc20
        .global unaligned_ldrh
unaligned_ldrh:
        ldrh    r1, [r0]
        ldr     r2, =0x3FFFC010
        str     r1, [r2]
        bx      lr
        .ltorg

        .org 0xc40
        .global unaligned_ldrsh
unaligned_ldrsh:
        ldrsh   r1, [r0]
        ldr     r2, =0x3FFFC010
        str     r1, [r2]
        bx      lr
        .ltorg

        .org 0xc60
        .global unaligned_str
unaligned_str:
        str     r1, [r0]
        bx      lr

        .org 0xc70
        .global unaligned_strh
unaligned_strh:
        strh    r1, [r0]
        bx      lr

@ Two words loaded from r0 with write-back; r0, the two words to 0x40000600..8.
        .org 0xc80
        .global unaligned_ldm
unaligned_ldm:
        ldmia   r0!, {r2, r3}
        ldr     r12, =0x40000600
        stmia   r12, {r0, r2, r3}
        bx      lr
        .ltorg

@ r1 and r2 stored below r0 with write-back; r0 to 0x40000600.
        .org 0xca0
        .global unaligned_stm
unaligned_stm:
        stmdb   r0!, {r1, r2}
        ldr     r12, =0x40000600
        str     r0, [r12]
        bx      lr
        .ltorg

@ A word loaded from S0SPSR + 2, then S0SPSR itself: FIO0MASK = their OR.
        .org 0xcc0
        .global unaligned_spsr
unaligned_spsr:
        ldr     r2, =0xE0020004
        ldr     r1, [r2, #2]
        ldrb    r3, [r2]
        orr     r1, r1, r3
        ldr     r2, =0x3FFFC010
        str     r1, [r2]
        bx      lr
        .ltorg

@ Two words of flash for unaligned loads.
        .org 0xd00
        .global flash_words
flash_words:
        .word   0x8899AABB, 0x11223344

@ Two loads from r0 in one block, the first only when r2 is not zero: r1 and r3 (as loaded, or
@ as passed) to 0x40000600..4.
        .org 0xd20
        .global unaligned_pair
unaligned_pair:
        cmp     r2, #0
        ldrne   r1, [r0]
        ldr     r3, [r0]
        ldr     r12, =0x40000600
        stmia   r12, {r1, r3}
        bx      lr
        .ltorg

@ Loads from r0 that write their base back, post-indexed and pre-indexed down: r0 and the two
@ words to 0x40000600..8.
        .org 0xd40
        .global unaligned_index
unaligned_index:
        ldr     r2, [r0], #4
        ldr     r3, [r0, #-2]!
        ldr     r12, =0x40000600
        stmia   r12, {r0, r2, r3}
        bx      lr
        .ltorg

@ Stores of the base register itself with write-back: first in the list from r0, second from r1.
        .org 0xd60
        .global unaligned_stm_base
unaligned_stm_base:
        stmia   r0!, {r0, r3}
        stmia   r1!, {r0, r1}
        bx      lr

@ Sends r0 and polls SPIF through an unaligned load of S0SPSR, which puts it in bit 23.
        .org 0xd80
        .global unaligned_poll
unaligned_poll:
        ldr     r2, =0xE0020000
        strh    r0, [r2, #8]            @ S0SPDR
1:      ldr     r3, [r2, #6]            @ S0SPSR + 2
        tst     r3, #0x800000
        beq     1b
        bx      lr
        .ltorg

@ The LCD select pulsed high as the firmware does before a command: FIO0SET, then FIO0CLR two
@ instructions later. The stores' data cycles, when the pin changes, are 3 clocks apart: the
@ first store's second cycle (N), the mov, the second store's first cycle.
        .org 0xf00
        .global select_pulse
select_pulse:
        ldr     r0, =0xE01FC1A0         @ SCS: port 0 on the fast GPIO
        mov     r1, #1
        str     r1, [r0]
        ldr     r0, =0x3FFFC000         @ FIO0DIR
        mov     r1, #0x380
        str     r1, [r0]
        mov     r1, #0x80               @ P0.7
        str     r1, [r0, #0x18]         @ FIO0SET
        mov     r2, r2
        str     r1, [r0, #0x1c]         @ FIO0CLR
        bx      lr
        .ltorg

@ Two stores in one block where SPI0 has no register, through the same base register moved on
@ between them: as the second store runs, the first one's operands name its address too.
        .org 0xf80
        .global two_strays
two_strays:
        ldr     r0, =0xE0020010
        strb    r1, [r0]                @ 0xf84
        add     r0, r0, #4
        str     r1, [r0]                @ 0xf8c, to 0xE0020014
        bx      lr
        .ltorg

@ A store-multiple of two words where SPI0 has no registers, after two other instructions.
        .org 0xfc0
        .global stm_strays
stm_strays:
        ldr     r0, =0xE0020030
        mov     r1, #1
        stmia   r0, {r1, r2}            @ 0xfc8: 0xE0020030 and 0xE0020034
        bx      lr
        .ltorg

@ Two loads in one block: r1 points into RAM, r0 into flash.
        .org 0x1000
        .global two_loads
two_loads:
        ldr     r2, [r1]
        ldr     r3, [r0]
        bx      lr
