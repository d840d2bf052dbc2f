@ A stand-in for the terminal's main firmware: once the boot loader has copied
@ or unpacked it to its load address and jumped there, it reports to the
@ emulator through the firmware doorbell at physical 0x4FF00000 (the MMU is off
@ at that point, so the address is used as it stands):
@
@   +0  its own entry address (where it runs)
@   +4  the 32-bit sum of its image bytes, read from where it runs
@
@ and then spins. Position-independent: only pc-relative addressing, so it runs
@ at any load address. The table after the code gives LZO some work.

        .syntax unified
        .arm
        .section .text.standin, "ax"
        .global _start
_start:
        sub     r0, pc, #8              @ r0 = the address of this instruction
        mov     r1, #0x4F000000
        orr     r1, r1, #0x00F00000     @ r1 = doorbell
        str     r0, [r1]                @ +0: entry address

        ldr     r3, image_size          @ bytes from _start to the end
        mov     r2, r0
        mov     r4, #0
1:      ldrb    r5, [r2], #1            @ sum of the image bytes, modulo 2^32
        add     r4, r4, r5
        subs    r3, r3, #1
        bne     1b
        str     r4, [r1, #4]            @ +4: the sum

2:      b       2b                      @ done: spin

image_size:
        .word   image_end - _start

@ 4 KB of table: sixteen 256-byte rows, row r holding (i + 3r) & 0xFF, so that
@ each row repeats the last one shifted.
        .balign 4
table:
        .set    row, 0
        .rept   16
        .set    col, 0
        .rept   256
        .byte   (col + 3 * row) & 0xFF
        .set    col, col + 1
        .endr
        .set    row, row + 1
        .endr

@ A text that says what this is, for whoever dumps the memory.
        .ascii  "quelmark main-firmware stand-in\0"
        .balign 4
image_end:
