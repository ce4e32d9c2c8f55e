@ The core's own timing (ARM7TDMI-S TRM, "Instruction Cycle Timings"), with S = N = I = one
@ clock: code in flash behind the fully on accelerator at MAMTIM = 1, where no fetch or flash
@ read waits (a read of M = 1 clock counts only the clock that asks for it), and data in RAM.
@ Every loop ends in subs (data processing, 1S) and bne taken (branch, 2S + 1N = 3): 4 clocks
@ of each pass; the flags at the top of a pass are those subs left with r0 not zero (Z = 0).
        .include "common.inc"

@ probe: dp_imm_shift
@ mam: full 1
@ expect: 6
@ add with an immediate (1S) and add with a register shifted by an immediate (1S): 2 + 4.
        .balign 16
        .global dp_imm_shift
dp_imm_shift:
        mov     r2, #3
1:      add     r1, r1, #1
        add     r1, r1, r2, lsl #3
        subs    r0, r0, #1
        bne     1b
        bx      lr

@ probe: dp_shift_reg
@ mam: full 1
@ expect: 8
@ Two data processing instructions shifting by a register, 1S + 1I each: 2 * 2 + 4.
        .balign 16
        .global dp_shift_reg
dp_shift_reg:
        mov     r2, #3
        mov     r3, #5
1:      add     r1, r1, r2, lsl r3
        eor     r4, r4, r2, ror r3
        subs    r0, r0, #1
        bne     1b
        bx      lr

@ probe: dp_pc_write
@ mam: full 1
@ expect: 10
@ mov pc, r5 and add pc, pc, #0 (to the instruction after the next): data processing writing
@ pc, 1S + (1S + 1N) = 3 each: 3 + 3 + 4.
        .balign 16
        .global dp_pc_write
dp_pc_write:
        adr     r5, 2f
1:      mov     pc, r5
        nop                             @ never executed
2:      add     pc, pc, #0
        nop                             @ never executed
        subs    r0, r0, #1
        bne     1b
        bx      lr

@ probe: fail_dp
@ mam: full 1
@ expect: 6
@ Two data processing instructions whose condition (EQ with Z = 0) fails, one that would shift
@ by a register and one that would write pc: 1S each whatever they would have cost: 1 + 1 + 4.
        .balign 16
        .global fail_dp
fail_dp:
        mov     r2, #3
        adr     r5, 2f
        movs    r12, #1                 @ Z = 0 for the first pass too
1:      addeq   r1, r1, r2, lsl r2
        moveq   pc, r5
        subs    r0, r0, #1
        bne     1b
2:      bx      lr

@ probe: fail_load
@ mam: full 1
@ expect: 6
@ ldreq and ldreq to pc with Z = 0: 1S each: 1 + 1 + 4.
        .balign 16
        .global fail_load
fail_load:
        ldr     r2, =LOADS
        movs    r12, #1
1:      ldreq   r1, [r2]
        ldreq   pc, [r2, #4]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: fail_store
@ mam: full 1
@ expect: 6
@ streq and strbeq with Z = 0: 1S each: 1 + 1 + 4.
        .balign 16
        .global fail_store
fail_store:
        ldr     r8, =STORES
        movs    r12, #1
1:      streq   r1, [r8]
        strbeq  r1, [r8, #5]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: fail_block
@ mam: full 1
@ expect: 6
@ ldmeq of four words with pc and stmeq of four words with Z = 0: 1S each: 1 + 1 + 4.
        .balign 16
        .global fail_block
fail_block:
        ldr     r2, =LOADS
        ldr     r8, =STORES
        movs    r12, #1
1:      ldmeq   r2, {r4-r6, pc}
        stmeq   r8, {r4-r7}
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: fail_multiply
@ mam: full 1
@ expect: 6
@ muleq and umlaleq by 0x12345678 (m = 4 were they executed) with Z = 0: 1S each: 1 + 1 + 4.
        .balign 16
        .global fail_multiply
fail_multiply:
        ldr     r3, =0x12345678
        movs    r12, #1
1:      muleq   r1, r2, r3
        umlaleq r4, r5, r2, r3
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: fail_branch
@ mam: full 1
@ expect: 6
@ beq and bleq with Z = 0, branches not taken: 1S each: 1 + 1 + 4.
        .balign 16
        .global fail_branch
fail_branch:
        movs    r12, #1
1:      beq     leaf
        bleq    leaf
        subs    r0, r0, #1
        bne     1b
        bx      lr

@ probe: load_ram
@ mam: full 1
@ expect: 16
@ ldr, ldrb, ldrh and ldrsb from RAM, 1S + 1N + 1I = 3 each: 4 * 3 + 4.
        .balign 16
        .global load_ram
load_ram:
        ldr     r2, =LOADS
1:      ldr     r1, [r2]
        ldrb    r1, [r2, #1]
        ldrh    r1, [r2, #2]
        ldrsb   r1, [r2, #3]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: store_ram
@ mam: full 1
@ expect: 10
@ str, strb and strh to RAM, 2N each: 3 * 2 + 4.
        .balign 16
        .global store_ram
store_ram:
        ldr     r8, =STORES
1:      str     r1, [r8]
        strb    r1, [r8, #5]
        strh    r1, [r8, #6]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: load_pc
@ mam: full 1
@ expect: 9
@ ldr pc from RAM: 1S + 1N + 1I + (1S + 1N) = 5: 5 + 4.
        .balign 16
        .global load_pc
load_pc:
        ldr     r8, =STORES
        adr     r5, 2f
        str     r5, [r8, #0x10]
1:      ldr     pc, [r8, #0x10]
        nop                             @ never executed
2:      subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: load_multiple
@ mam: full 1
@ expect: 13
@ ldmia of four words (4S + 1N + 1I = 6) and of one (1S + 1N + 1I = 3): 6 + 3 + 4.
        .balign 16
        .global load_multiple
load_multiple:
        ldr     r2, =LOADS
1:      ldmia   r2, {r4-r7}
        ldmia   r2, {r4}
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: store_multiple
@ mam: full 1
@ expect: 11
@ stmia of four words (3S + 2N = 5) and of one (0S + 2N = 2): 5 + 2 + 4.
        .balign 16
        .global store_multiple
store_multiple:
        ldr     r8, =STORES
1:      stmia   r8, {r4-r7}
        stmia   r8, {r4}
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: load_multiple_pc
@ mam: full 1
@ expect: 10
@ ldmia of r4 and pc: 2S + 1N + 1I, + 1S + 1N for pc = 6: 6 + 4.
        .balign 16
        .global load_multiple_pc
load_multiple_pc:
        ldr     r8, =STORES
        adr     r5, 2f
        str     r5, [r8, #0x14]
        add     r8, r8, #0x10
1:      ldmia   r8, {r4, pc}
        nop                             @ never executed
2:      subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: store_multiple_pc
@ mam: full 1
@ expect: 7
@ stmia of r4 and pc: a store of two words, pc among them changing no flow, 1S + 2N = 3: 3 + 4.
        .balign 16
        .global store_multiple_pc
store_multiple_pc:
        ldr     r8, =STORES
1:      stmia   r8, {r4, pc}
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ probe: swap
@ mam: full 1
@ expect: 12
@ swp and swpb with RAM, 1S + 2N + 1I = 4 each: 4 + 4 + 4.
        .balign 16
        .global swap
swap:
        ldr     r8, =STORES
1:      swp     r1, r1, [r8]
        swpb    r1, r1, [r8]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg

@ Multiplies by a multiplier Rs whose significant bytes decide m (1 to 4): MUL and MLA read
@ it as signed (bits above the first 1, 2 or 3 bytes all 0 or all 1 end the multiply early),
@ UMULL and UMLAL as unsigned (all 0 only). MUL 1S + mI, MLA 1S + (m + 1)I, MULL 1S + (m + 1)I,
@ MLAL 1S + (m + 2)I.
        .macro multiply name, insn, rs
        .balign 16
        .global \name
\name:
        ldr     r3, =\rs
        mov     r2, #3
1:      \insn
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg
        .endm

@ probe: mul_1
@ mam: full 1
@ expect: 6
@ mul by 0x7F: m = 1, 1 + 1 = 2: 2 + 4.
        multiply mul_1, "mul r1, r2, r3", 0x7F

@ probe: mul_1_negative
@ mam: full 1
@ expect: 6
@ mul by 0xFFFFFF80: bits 31-8 all ones, m = 1: 2 + 4.
        multiply mul_1_negative, "mul r1, r2, r3", 0xFFFFFF80

@ probe: mul_2
@ mam: full 1
@ expect: 7
@ mul by 0x1234: m = 2: 3 + 4.
        multiply mul_2, "mul r1, r2, r3", 0x1234

@ probe: mul_3_negative
@ mam: full 1
@ expect: 8
@ mul by 0xFF923456: bits 31-24 all ones, bits 31-16 not: m = 3: 4 + 4.
        multiply mul_3_negative, "mul r1, r2, r3", 0xFF923456

@ probe: mul_4
@ mam: full 1
@ expect: 9
@ mul by 0x12345678: m = 4: 5 + 4.
        multiply mul_4, "mul r1, r2, r3", 0x12345678

@ probe: mla_2
@ mam: full 1
@ expect: 8
@ mla by 0xFFFF8000: bits 31-16 all ones, m = 2: 1 + (2 + 1) = 4: 4 + 4.
        multiply mla_2, "mla r1, r2, r3, r1", 0xFFFF8000

@ probe: umull_4
@ mam: full 1
@ expect: 10
@ umull by 0xFFFFFFFE: unsigned, only zeros end it early: m = 4, 1 + (4 + 1) = 6: 6 + 4.
        multiply umull_4, "umull r4, r5, r2, r3", 0xFFFFFFFE

@ probe: smull_1
@ mam: full 1
@ expect: 7
@ smull by 0xFFFFFFFE: signed, bits 31-8 all ones: m = 1, 1 + (1 + 1) = 3: 3 + 4.
        multiply smull_1, "smull r4, r5, r2, r3", 0xFFFFFFFE

@ probe: umlal_1
@ mam: full 1
@ expect: 8
@ umlal by 0x7F: m = 1, 1 + (1 + 2) = 4: 4 + 4.
        multiply umlal_1, "umlal r4, r5, r2, r3", 0x7F

@ probe: smlal_4
@ mam: full 1
@ expect: 11
@ smlal by 0x80000000: bits 31-8 neither all zeros nor all ones: m = 4, 1 + (4 + 2) = 7: 7 + 4.
        multiply smlal_4, "smlal r4, r5, r2, r3", 0x80000000

@ probe: branch_next
@ mam: full 1
@ expect: 8
@ bne to the next instruction, taken (Z = 0): 2S + 1N = 3; beq to the next one, not taken: 1S:
@ 3 + 1 + 4.
        .balign 16
        .global branch_next
branch_next:
1:      bne     2f
2:      beq     3f
3:      subs    r0, r0, #1
        bne     1b
        bx      lr

@ probe: branch_over
@ mam: full 1
@ expect: 7
@ b over one instruction: 3: 3 + 4.
        .balign 16
        .global branch_over
branch_over:
1:      b       2f
        nop                             @ never executed
2:      subs    r0, r0, #1
        bne     1b
        bx      lr

@ probe: call_bl
@ mam: full 1
@ expect: 10
@ bl leaf (3) and leaf's bx lr (2S + 1N = 3): 3 + 3 + 4.
        .balign 16
        .global call_bl
call_bl:
        push    {lr}
1:      bl      leaf
        subs    r0, r0, #1
        bne     1b
        pop     {lr}
        bx      lr

@ probe: call_bx
@ mam: full 1
@ expect: 11
@ A call through a register as ARMv4T code makes it: mov lr, pc (1), bx r5 (3), leaf's bx lr
@ (3): 1 + 3 + 3 + 4.
        .balign 16
        .global call_bx
call_bx:
        push    {lr}
        ldr     r5, =leaf
1:      mov     lr, pc
        bx      r5
        subs    r0, r0, #1
        bne     1b
        pop     {lr}
        bx      lr
        .ltorg

@ Loads from RAM at a word's address + 1, + 2, + 3. ARMv4T reads the aligned word and rotates
@ it right by 8 bits per byte of offset, so that the addressed byte lands in bits 7-0; the word
@ at LOADS is 0x44332211 (the next 0x88776655, which a load that does not rotate would take
@ bytes from). An ldr still costs 1S + 1N + 1I = 3: 3 + 4. The last value loaded goes to
@ PINSEL1 for the test to read.
        .macro unaligned name, offset
        .balign 16
        .global \name
\name:
        ldr     r2, =LOADS
1:      ldr     r1, [r2, #\offset]
        subs    r0, r0, #1
        bne     1b
        ldr     r3, =PINSEL1
        str     r1, [r3]
        bx      lr
        .ltorg
        .endm

@ probe: unaligned_1
@ mam: full 1
@ expect: 7
@ result: 0x11443322
@ 0x44332211 rotated right by 8.
        unaligned unaligned_1, 1

@ probe: unaligned_2
@ mam: full 1
@ expect: 7
@ result: 0x22114433
@ 0x44332211 rotated right by 16.
        unaligned unaligned_2, 2

@ probe: unaligned_3
@ mam: full 1
@ expect: 7
@ result: 0x33221144
@ 0x44332211 rotated right by 24.
        unaligned unaligned_3, 3

@ Peripheral accesses: one ldr or str each pass. The board sees it in the instruction's second
@ cycle; one behind the APB bridge then stalls the core W clocks (the APB wait); the fast GPIO
@ block and the VIC are not behind it. ldr(b/h) 3, str(b/h) 2 without the wait.
        .macro access name, base, insn
        .balign 16
        .global \name
\name:
        ldr     r2, =\base
        ldr     r1, =0x093C             @ S0SPCR as set up (a byte store takes 0x3C)
1:      \insn
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg
        .endm

@ probe: fio_read
@ mam: full 1
@ expect: 7
@ ldr FIO0PIN: 3 + 4.
        access fio_read, FIO0DIR, "ldr r3, [r2, #0x14]"

@ probe: fio_write
@ mam: full 1
@ expect: 6
@ str FIO0MASK: 2 + 4.
        access fio_write, FIO0DIR, "str r0, [r2, #0x10]"

@ probe: vic_read
@ mam: full 1
@ expect: 7
@ ldr VICVectAddr: 3 + 4.
        access vic_read, VICVECTADDR, "ldr r3, [r2]"

@ probe: vic_write
@ mam: full 1
@ expect: 6
@ str VICVectAddr: 2 + 4.
        access vic_write, VICVECTADDR, "str r0, [r2]"

@ probe: apb_read_byte
@ mam: full 1
@ expect: 7 + W
@ ldrb MAMTIM: 3 + W + 4.
        access apb_read_byte, MAMCR, "ldrb r3, [r2, #4]"

@ probe: apb_write_byte
@ mam: full 1
@ expect: 6 + W
@ strb S0SPCCR (0x3C: even and at least 8, as the SPI asks): 2 + W + 4.
        access apb_write_byte, S0SPCR, "strb r1, [r2, #0xC]"

@ probe: apb_read_half
@ mam: full 1
@ expect: 7 + W
@ ldrh S0SPCR: 3 + W + 4.
        access apb_read_half, S0SPCR, "ldrh r3, [r2]"

@ probe: apb_write_half
@ mam: full 1
@ expect: 6 + W
@ strh S0SPCR (the value it holds): 2 + W + 4.
        access apb_write_half, S0SPCR, "strh r1, [r2]"

@ probe: apb_read_word
@ mam: full 1
@ expect: 7 + W
@ ldr PINSEL1: 3 + W + 4.
        access apb_read_word, PINSEL1, "ldr r3, [r2]"

@ probe: apb_write_word
@ mam: full 1
@ expect: 6 + W
@ str PINSEL1: 2 + W + 4.
        access apb_write_word, PINSEL1, "str r0, [r2]"
