@ A word to SPI0 and its SPIF poll, as the LCD link sends: strh to S0SPDR, n instructions of
@ work, then ldrb S0SPSR, tst, beq back until SPIF is set; subs and bne to the next word.
@ The SPI (the board model's, as the chip's manual describes it): the transfer starts with the
@ write, SPIF sets 9 bits * 8 PCLK = 72 PCLK later (S0SPCCR = 8) and a status read from then
@ on sees it. The core: the board sees a load or store in the instruction's second cycle (start
@ + 1), then the APB wait stalls it W = 3 clocks: strh 2 + 3 = 5, ldrb 3 + 3 = 6. A poll pass
@ is ldrb 6, tst 1, beq taken 3 = 10; the last ldrb 6, tst 1, beq not taken 1, subs 1, bne 3.
@ s is the clock at which a pass's strh starts: the write lands at s + 1, SPIF at s + 73 (with
@ PCLK = CCLK).
        .include "common.inc"

        .macro spi_loop name, work
        .balign 16
        .global \name
\name:
        ldr     r2, =S0SPCR
        mov     r1, #0                  @ the LCD's no-operation command
        .balign 16
1:      strh    r1, [r2, #8]            @ S0SPDR
        .rept \work
        nop
        .endr
2:      ldrb    r3, [r2, #4]            @ S0SPSR
        tst     r3, #0x80               @ SPIF
        beq     2b
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg
        .endm

@ probe: spi_flash_0
@ mam: full 3
@ expect: 87
@ From flash, no work. L0: strh, ldrb, tst, beq (word 3); L1: subs, bne. L0 is in BTB after the
@ first poll's loop-back missed, and is the only line a branch goes to: every change of flow
@ hits; tst's fetch of L1 finds it prefetched at the last hit, at least 8 clocks before. So
@ no waits: strh s .. s + 5, the reads at s + 6 + 10k; the first at s + 73 or later is k = 7,
@ s + 76; that ldrb ends s + 81, tst, beq, subs, bne: the next strh at s + 87.
        spi_loop spi_flash_0, 0

@ probe: spi_flash_20
@ mam: full 3
@ expect: 91
@ From flash, 20 nops: strh at L0 word 0, the poll at L5 words 1-3, subs and bne in L6. Each
@ pass the loop-back's fetch of L0 misses (PB L6, BTB L5) and the poll's first loop-back's
@ fetch of L5 misses (PB L6, BTB L0): L0 at c (to c + 3), strh s = c + 4, the nops s + 5 ..
@ s + 25 (each line prefetched in time), the first read at s + 26 (ldrb to s + 31), tst takes
@ L6 (0), beq s + 32, its fetch of L5 at s + 33 misses (to s + 36), s + 36 fetches L5 + 8;
@ the next reads at s + 38, 48, 58, 68, 78 (the later loop-backs hit in BTB, tst's L6
@ prefetched at the hit before it); s + 78 sees SPIF, ldrb ends s + 83, tst, beq, subs, bne
@ fetches L0 at s + 87, which waits to s + 90; the next strh at s + 91.
        spi_loop spi_flash_20, 20

        .section .ramcode, "ax", %progbits

@ probe: spi_ram_0
@ mam: full 3
@ expect: 87
@ From RAM, no work: no fetch waits. Reads at s + 6 + 10k, k = 7 (s + 76) the first at
@ s + 73 or later; ldrb ends s + 81, + tst 1 + beq 1 + subs 1 + bne 3: 87.
        spi_loop spi_ram_0, 0

@ probe: spi_ram_20
@ mam: full 3
@ expect: 87
@ From RAM, 20 nops: reads at s + 26 + 10k; k = 5, s + 76, is the first at s + 73 or later;
@ then as spi_ram_0: 87.
        spi_loop spi_ram_20, 20

@ probe: spi_ram_24
@ mam: full 3
@ expect: 91
@ From RAM, 24 nops: reads at s + 30 + 10k; k = 4 (s + 70) is too early, k = 5 (s + 80)
@ sees SPIF; ldrb ends s + 85: 85 + 6 = 91.
        spi_loop spi_ram_24, 24

@ probe: spi_ram_0_pclk_half
@ mam: full 3
@ vpbdiv: 2
@ expect: 157
@ From RAM, no work, PCLK = CCLK / 2: the 72 PCLK are 144 CCLK, SPIF seen from s + 144 or
@ s + 145 (as the write falls between two PCLK edges); reads at s + 6 + 10k: k = 14, s + 146,
@ either way; ldrb ends s + 151, + 6: 157.
        spi_loop spi_ram_0_pclk_half, 0
