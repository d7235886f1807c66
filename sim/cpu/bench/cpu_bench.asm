; CPU-bound benchmark program for the 8051 core: about 100 million instructions of arithmetic,
; moves, bit operations, MOVX, MOVC and branches, ending in SJMP $ at address "done".
; The loop counts below set the length: OUTER * MIDDLE * INNER iterations of the inner body.
        .module cpu_bench
        OUTER  = 116
        MIDDLE = 100
        INNER  = 250

        .area CODE (ABS)
        .org 0x0000
start:  mov     r0, #0x7f           ; clear internal RAM 0x00-0x7F: the run must not
        clr     a                   ; depend on what RAM held at start
clear:  mov     @r0, a
        djnz    r0, clear
        mov     sp, #0x60
        mov     p2, #0x12           ; MOVX @Ri page
        mov     dptr, #table        ; MOVC table in code, and an XRAM address
        mov     r0, #0x40           ; @R0: internal RAM
        mov     r1, #0x80           ; @R1: external RAM in page P2
        mov     r7, #OUTER
outer:  mov     r6, #MIDDLE
middle: mov     r5, #INNER
inner:  mov     a, r2               ; arithmetic and moves
        add     a, #0x37
        addc    a, r3
        mov     r3, a
        subb    a, @r0
        xrl     a, #0x5a
        rl      a
        mov     0x30, a
        inc     0x31
        anl     a, 0x31
        orl     a, #0x11
        mov     @r0, a
        setb    c                   ; bits
        cpl     0x00
        mov     c, 0x01
        mov     0x02, c
        jnb     0x00, 1$
        inc     r2
1$:     jbc     0x02, 2$
        cpl     0x03
2$:     movx    @r1, a              ; external RAM
        movx    a, @r1
        inc     r1
        movx    @dptr, a
        mov     a, r2               ; code reads
        anl     a, #0x0f
        movc    a, @a+dptr
        add     a, r4
        mov     r4, a
        mov     b, #3
        mul     ab
        cjne    a, #0x10, 3$        ; compare and branch
3$:     jc      4$
        inc     0x32
4$:     djnz    r5, inner
        djnz    r6, middle
        djnz    r7, outer
        ljmp    done

table:  .db     0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef
        .db     0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10

        .org 0x0400
done:   sjmp    .
