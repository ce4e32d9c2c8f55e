@ Code and data in flash behind the memory accelerator (UM10120, MAM chapter), M = MAMTIM
@ clocks a flash read, with the project's reading where the manual is silent. Line = 16 bytes
@ (4 instructions); lines are named from the probe's first, L0, L1, ... A taken branch at B
@ costs 3: its first cycle fetches B + 8, its second the target T, its third T + 4; every
@ other instruction here fetches its own address + 8 in its first cycle. Full mode (MAMCR = 2),
@ a fetch at clock t moving to a new line X (after a change of flow, or across a line's end):
@   b. X in the prefetch buffer (PB) or the branch trail buffer (BTB): it waits nothing, even
@      while a prefetch of X runs (the manual stalls a fetch "not satisfied by either the
@      Prefetch or Branch Trail Buffer, nor [for which] a prefetch [has] been initiated"); a
@      prefetch of any line but X + 1 is discarded, X + 1 prefetched from t;
@   a. else X the line P being prefetched (started at s, delivered at R = s + M): P goes into
@      PB and the fetch waits max(0, R - t - 1); X + 1 is then prefetched from max(R, t);
@   c. else a miss: M - 1 = 2 clocks, X into BTB, X + 1 prefetched from t + M.
@ A data read from flash outside the data buffer's line waits M - 1; a prefetch in flight
@ then restarts when it is done. Partial mode (1): every fetch after a change of flow waits
@ M - 1 and restarts the prefetch as (c); every data read waits M - 1. Off (0): every fetch
@ (3 for a taken branch) and every data read waits M - 1.
@ Timelines count from c, the clock at which the loop's branch back fetches the loop's top.
        .include "common.inc"

@ Sixteen nops, subs and bne back: 20 clocks of core (16 + 1 + 3); bne at word 1 of L4.
        .macro straight name
        .balign 16
        .global \name
\name:
1:      .rept 16
        nop
        .endr
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .endm

@ probe: straight_full
@ mam: full 3
@ expect: 20
@ The call's fetch of L0 missed, so L0 stays in BTB (nothing else misses): each loop-back
@ hits (b) and prefetches L1 from c (R = c + 3). The nops at c + 2 ... fetch L0 + 8 ...;
@ the one at c + 4 moves to L1 (a: max(0, c + 3 - (c + 4) - 1) = 0), L2 is prefetched from
@ c + 4 and wanted at c + 8, and so on: each line comes 4 clocks after the last, a prefetch
@ takes 3. bne's fetch of L4 + 12 stays in L4. No waits: 20.
        straight straight_full

@ probe: straight_partial
@ mam: partial 3
@ expect: 22
@ The loop-back's fetch of L0 waits 2 (c to c + 3) and prefetches L1 from c + 3 (R = c + 6);
@ bne's third cycle at c + 3, the nops from c + 4: the one at c + 6 moves to L1,
@ max(0, 6 - 6 - 1) = 0; the later lines as in full mode. 20 + 2 = 22.
        straight straight_partial

@ probe: straight_off
@ mam: off 3
@ expect: 60
@ Every fetch waits 2: 17 one-cycle instructions fetch once, bne three times: 20 fetches,
@ 20 + 20 * 2 = 60.
        straight straight_off

@ probe: straight_off_1
@ mam: off 1
@ expect: 20
@ One-clock flash reads: a fetch waits M - 1 = 0. The core's 20.
        straight straight_off_1

@ A loop of two passes (r1 = 2) inside the counted one, entered by falling into it or by a
@ branch from the instruction before; its bne sits at word 0, 1, 2 or 3 of a line. Each outer
@ pass: mov (1), n nops, [b inner (3)], inner pass one: subs (1) and bne taken (3), pass two:
@ subs (1) and bne not taken (1), then subs r0 (1) and bne outer (3): 11 + n (+ 3) of core.
@ Where the inner loop's first loop-back finds its line in no buffer (PB holds the line its
@ bne's own fetch of pc + 8 moved to, or the line after), it misses and takes BTB from the
@ outer loop's L0, whose next loop-back then misses too: 2 + 2 a pass.
        .macro nested name, nops, by_branch
        .balign 16
        .global \name
\name:
1:      mov     r1, #2
        .rept \nops
        nop
        .endr
        .if \by_branch
        b       2f
        .endif
2:      subs    r1, r1, #1
        bne     2b
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .endm

@ probe: loop_w1_fall
@ mam: full 3
@ expect: 14
@ L0: mov, 3 nops; L1: subs r1, bne inner (word 1), subs r0, bne outer (word 3). Core 14.
@ Inner loop-back: bne's pc + 8 (L1 word 3) stays in L1, which is in PB: hit. bne outer's
@ pc + 8 moves to L2 (prefetched, complete); L0 in BTB since the call: hit, prefetch L1 from
@ c, taken at c + 4 with R = c + 3: 0. No waits: 14.
        nested loop_w1_fall, 3, 0

@ probe: loop_w1_branch
@ mam: full 3
@ expect: 16
@ L0: mov, 2 nops, b inner (word 3); L1: subs, bne inner (word 1), subs, bne outer. Core
@ 11 + 2 + 3 = 16. b's pc + 8 moves to L1 at c + 5 (prefetched from c at the L0
@ hit, R = c + 3: 0), so its target L1 is in PB: hit; the inner loop-back likewise; bne outer's
@ pc + 8 moves to L2 (0), L0 in BTB: hit. No waits: 16.
        nested loop_w1_branch, 2, 1

@ probe: loop_w2_fall
@ mam: full 3
@ expect: 19
@ L0: mov, 3 nops; L1: nop, subs, bne inner (word 2), subs; L2: bne outer (word 0). Core 15.
@ c: L0 misses (PB L2, BTB L1): to c + 3, BTB = L0, L1 prefetched c + 3 .. c + 6. mov c + 4,
@ nops c + 5 .. c + 8 (the one at c + 6 takes L1: 6 - 6 - 1 < 0; L2 prefetched to c + 9),
@ subs c + 9, bne inner c + 10: pc + 8 takes L2 (0), L3 prefetched; c + 11 fetches L1: PB L2,
@ BTB L0: miss to c + 14, BTB = L1, L2 prefetched c + 14 .. c + 17. c + 14 fetches L1 + 8;
@ subs c + 15, bne not taken c + 16 takes L2: max(0, 17 - 16 - 1) = 0. subs c + 17, bne outer
@ c + 18, its fetch of L0 at c + 19 misses again. 15 + 2 + 2 = 19.
        nested loop_w2_fall, 4, 0

@ probe: loop_w2_branch
@ mam: full 3
@ expect: 21
@ L0: mov, 3 nops; L1: b inner (word 0), subs, bne inner (word 2), subs; L2: bne outer. Core
@ 11 + 3 + 3 = 17. c: L0 misses (PB L2, BTB L1), to c + 3, L1 prefetched to c + 6; mov c + 4,
@ nops c + 5 .. c + 7 (c + 6 takes L1, 0; L2 prefetched to c + 9); b c + 8, its target L1 in PB
@ at c + 9: hit; subs c + 11; bne inner c + 12: pc + 8 takes L2 (R = c + 9: 0); L1 at c + 13:
@ PB L2, BTB L0: miss to c + 16, L2 prefetched to c + 19; subs c + 17, bne not taken c + 18
@ takes L2: max(0, 19 - 18 - 1) = 0; subs c + 19, bne outer c + 20, L0 at c + 21 misses.
@ 17 + 2 + 2 = 21.
        nested loop_w2_branch, 3, 1

@ probe: loop_w3_fall
@ mam: full 3
@ expect: 20
@ L0: mov, 3 nops; L1: 2 nops, subs, bne inner (word 3); L2: subs, bne outer (word 1). Core 16.
@ c: L0 misses to c + 3, L1 prefetched to c + 6; mov c + 4, nops c + 5 .. c + 9 (c + 6 takes
@ L1: 0; L2 prefetched to c + 9); subs c + 10 takes L2 (0); bne inner c + 11 (pc + 8 in L2);
@ L1 at c + 12: PB L2, BTB L0: miss to c + 15; c + 15 fetches L1 + 12; subs at c + 16 moves
@ to L2, still in PB: 0 (were the prefetch of L2 restarted at c + 15 waited for, as a before b
@ would have it: 1, and 21 a pass). bne not taken c + 17, subs c + 18, bne outer c + 19, L0
@ at c + 20 misses. 16 + 2 + 2 = 20.
        nested loop_w3_fall, 5, 0

@ probe: loop_w3_branch
@ mam: full 3
@ expect: 22
@ L0: mov, 3 nops; L1: nop, b inner (word 1), subs, bne inner (word 3); L2: subs, bne outer.
@ Core 11 + 4 + 3 = 18. c: L0 misses to c + 3, L1 prefetched to c + 6; mov c + 4, nops c + 5
@ .. c + 8 (c + 6 takes L1: 0, L2 prefetched to c + 9); b c + 9, target L1 in PB at c + 10:
@ hit, L2 kept; subs c + 12 takes L2 (0); bne inner c + 13; L1 at c + 14: PB L2, BTB L0: miss
@ to c + 17; c + 17 fetches L1 + 12; subs c + 18 moves to L2, in PB: 0 (a before b: 1, 23 a
@ pass); bne not taken c + 19, subs c + 20, bne outer c + 21, L0 at c + 22 misses.
@ 18 + 2 + 2 = 22.
        nested loop_w3_branch, 4, 1

@ probe: loop_w0_fall
@ mam: full 3
@ expect: 21
@ L0: mov, 3 nops; L1: 3 nops, subs (word 3); L2: bne inner (word 0), subs, bne outer (word 2),
@ bx. Core 17. c: L0 at c misses (PB L3, BTB L1) to c + 3, L1 prefetched to c + 6; mov c + 4,
@ nops c + 5 .. c + 10 (c + 6 takes L1: 0; c + 10 takes L2: 0); subs c + 11, bne inner c + 12;
@ L1 at c + 13: PB L2, BTB L0: miss to c + 16; the third cycle at c + 16 fetches L1 + 16 = L2,
@ in PB: 0 (a before b: 2, 23 a pass), L3 prefetched from c + 16; subs c + 17, bne not taken
@ c + 18, subs c + 19, bne outer c + 20 takes L3 (R = c + 19: 0), L0 at c + 21 misses.
@ 17 + 2 + 2 = 21.
        nested loop_w0_fall, 6, 0

@ probe: loop_w0_branch
@ mam: full 3
@ expect: 23
@ L0: mov, 3 nops; L1: 2 nops, b inner (word 2), subs (word 3); L2: bne inner, subs, bne outer.
@ Core 11 + 5 + 3 = 19. c: L0 misses to c + 3, L1 prefetched to c + 6; mov c + 4, nops
@ c + 5 .. c + 9 (c + 6 takes L1: 0); b at c + 10 takes L2 with its pc + 8 (R = c + 9: 0);
@ L1 at c + 11: PB L2, BTB L0: miss to c + 14, BTB = L1; the third cycle at c + 14 fetches L2,
@ in PB: 0 (L3 prefetched from c + 14); subs c + 15; bne inner c + 16; L1 at c + 17 in BTB:
@ hit; c + 18 fetches L2, in PB: 0 (L3 prefetched from c + 18); subs c + 19, bne not taken
@ c + 20, subs c + 21, bne outer c + 22 takes L3 (R = c + 21: 0), L0 at c + 23 misses.
@ 19 + 2 + 2 = 23 (a before b: 2 and 1 more at the two fetches of L2, 26).
        nested loop_w0_branch, 5, 1

@ probe: loop_w1_partial
@ mam: partial 3
@ expect: 18
@ loop_w1_fall's code (core 14) with the accelerator partly on: both taken branches' fetches
@ of their targets wait 2 whatever the buffers hold: L0 at c to c + 3 (L1 prefetched to
@ c + 6), the nop at c + 6 takes L1 (0); the inner loop-back's L1 at c + 10 to c + 13 (L2
@ prefetched to c + 16); subs r0 at c + 16 takes L2: max(0, 16 - 16 - 1) = 0. 14 + 2 + 2.
        nested loop_w1_partial, 3, 0

@ A call of a leaf 4 lines on: X: bl, subs, bne (word 2), pop; the leaf's bx lr opens line F.
@ Core: bl 3, bx lr 3, subs 1, bne 3 = 10.
        .macro call_far name
        .balign 16
        .global \name
\name:
        push    {lr}
        .balign 16
1:      bl      3f
        subs    r0, r0, #1
        bne     1b
        pop     {lr}
        bx      lr
        .space  44
3:      bx      lr                      @ at the top of the line 4 after the loop's
        .endm

@ probe: call_far_full
@ mam: full 3
@ expect: 14
@ bne's pc + 8 takes X + 1 into PB; X in BTB: the loop-back at c hits (X + 1 prefetched from
@ c). bl at c + 2; F at c + 3: PB X + 1, BTB X: miss to c + 6, BTB = F; bx lr at c + 7; its
@ return to X (+ 4) at c + 8: PB X + 1, BTB F: miss to c + 11, BTB = X, X + 1 prefetched to
@ c + 14; subs c + 12, bne c + 13 takes X + 1 (14 - 13 - 1 = 0); X at c + 14 in BTB again.
@ 10 + 2 + 2 = 14.
        call_far call_far_full

@ probe: call_far_partial
@ mam: partial 3
@ expect: 16
@ Each of the three changes of flow (to F, back to X, to the loop's top) waits 2; bne's move
@ to X + 1 comes 3 clocks after the return's fetch ended, its prefetch then done (0). 10 + 6.
        call_far call_far_partial

@ probe: call_far_off
@ mam: off 3
@ expect: 30
@ Fetches: bl 3, bx 3, subs 1, bne 3 = 10, each waiting 2: 10 + 20.
        call_far call_far_off

@ probe: literal_hit
@ mam: full 3
@ expect: 7
@ ldr from a literal in another line, subs, bne (word 2 of X): the same literal each pass, in
@ the data buffer after the first: no flash read. bne's pc + 8 takes X + 1 (prefetched at the
@ hit on X at c, done at c + 3, wanted at c + 6); X in BTB. ldr 3 + 4 = 7.
        .balign 16
        .global literal_hit
literal_hit:
1:      ldr     r1, 2f
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .balign 16
        .space  32                      @ a line no fetch or prefetch comes near
2:      .word   0x11
        .balign 16

@ probe: two_literals
@ mam: full 3
@ expect: 28
@ Sixteen instructions of straight code, the ones at L0 word 0 and L2 word 0 loads from two
@ literals in different lines: each misses the data buffer (2). Core 14 nops + 2 * 3 + 4 = 24.
@ The loop-back at c hits (L0 in BTB), L1 prefetched to c + 3; ldr's read at c + 3 (the
@ prefetch just done stays latched) to c + 6, ldr ends c + 7; nops c + 7 ...: L1 taken at c + 8
@ (0), L2 at c + 12 (prefetched from c + 8: 0), L3 prefetched from c + 12; the second ldr at
@ c + 14 reads at c + 15 (that prefetch done at c + 15) to c + 18, ends c + 19; L3 taken at
@ c + 20 (0), L4 at c + 24 (0); subs c + 26, bne c + 27 fetches L0 at c + 28. 24 + 2 + 2 = 28.
        .balign 16
        .global two_literals
two_literals:
1:      ldr     r1, 2f
        .rept 7
        nop
        .endr
        ldr     r1, 3f
        .rept 7
        nop
        .endr
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .balign 16
        .space  16                      @ past L5, which the loop prefetches
2:      .word   0x22
        .balign 16
3:      .word   0x33
        .balign 16

@ probe: literal_abort
@ mam: full 3
@ expect: 24
@ X: nop (the entry only), top: ldr A (word 1), nop, nop; X + 1: b far; far, 4 lines on:
@ ldr B, subs, bne top (word 2). A and B in different lines. Core 3 + 1 + 1 + 3 + 3 + 1 + 3
@ = 15. c: X misses (PB far + 1, BTB far) to c + 3, BTB = X, X + 1 prefetched c + 3 .. c + 6;
@ ldr A at c + 4 reads at c + 5: a data buffer miss (it holds B), to c + 8, and the prefetch
@ in flight restarts after it: c + 8 .. c + 11; ldr ends c + 9. The nop at c + 9 moves to
@ X + 1: max(0, 11 - 9 - 1) = 1, to c + 11 (X + 2 prefetched from c + 11); nop c + 11; b far
@ c + 12, far at c + 13: PB X + 1, BTB X: miss to c + 16, BTB = far, far + 1 prefetched
@ c + 16 .. c + 19; ldr B at c + 17 reads at c + 18: miss to c + 21, the prefetch restarting
@ c + 21 .. c + 24; ldr ends c + 22; subs c + 22; bne c + 23 takes far + 1:
@ max(0, 24 - 23 - 1) = 0; X at c + 24. 15 + 2 + 2 + 1 + 2 + 2 = 24.
        .balign 16
        .global literal_abort
literal_abort:
        nop
1:      ldr     r1, 3f
        nop
        nop
        b       2f
        .space  44                      @ far at X + 64: no buffer holds its line
2:      ldr     r2, 4f
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .balign 16
        .space  32                      @ past far + 1 and far + 2, which it prefetches
3:      .word   0x44
        .balign 16
4:      .word   0x55
        .balign 16

@ probe: off_load_ram
@ mam: off 3
@ expect: 17
@ ldr from RAM (3), subs, bne: 7 of core; fetches: ldr 1, subs 1, bne 3, each waiting 2; the
@ RAM read none: 7 + 10 = 17.
        .balign 16
        .global off_load_ram
off_load_ram:
        ldr     r2, =LOADS
1:      ldr     r1, [r2]
        subs    r0, r0, #1
        bne     1b
        bx      lr
        .ltorg
