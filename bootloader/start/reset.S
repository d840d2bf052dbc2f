@ The first code after a reset: the vector table at 0 and the start-up code at
@ 0x800 (SDRAM, clock, LZO, the firmware check, and the way into loader mode).
@ Everything up to 0x0C00 is laid out by hand; link.ld puts .vectors at 0 and
@ .startup at 0x800 and checks it.

        .syntax unified
        .arm

@ XScale CPWAIT: after a coprocessor write, read cp15 c2 and branch to the next
@ instruction, which waits until the write has taken effect.
        .macro cpwait reg
        mrc     p15, 0, \reg, c2, c0, 0
        mov     \reg, \reg
        sub     pc, pc, #4
        .endm

@ ---------------------------------------------------------------------------
@ Exception vectors: the loader has no handlers; every exception starts over.
        .section .vectors, "ax"
        .global _vectors
_vectors:
        .rept   8
        b       _reset
        .endr

@ ---------------------------------------------------------------------------
        .section .startup, "ax"
        .global _reset
        .type   _reset, %function
_reset:
        @ 1. All domains manager; start-up stack at the end of SDRAM.
        mvn     r0, #0
        mcr     p15, 0, r0, c3, c0, 0
        cpwait  r0
        ldr     sp, k_stack

        @ 2. SDRAM: configuration, refresh, mode register set.
        mov     r1, #0x48000000
        ldr     r0, k_mdcnfg
        str     r0, [r1, #0x00]         @ MDCNFG
        b       1f
1:      ldr     r0, k_mdrefr
        str     r0, [r1, #0x04]         @ MDREFR
        b       1f
1:      mov     r0, #0
        str     r0, [r1, #0x40]         @ MDMRS
        b       1f

        @ 3., 4. Clock at 400 MHz; LZO.
1:      mov     r0, #400
        bl      bl_start_clock
        bl      bl_start_lzo

        @ 5. Translation table base.
        ldr     r0, k_ptable
        mcr     p15, 0, r0, c2, c0, 0
        cpwait  r0

        @ 6. Running from SDRAM (pc bit 31)? Then no firmware check, no copy.
        mov     r0, pc
        tst     r0, #0x80000000
        bne     ram_start

        @ 7. Firmware check (MMU off, the flash seen at 0): r0 = entry or 0.
        bl      bl_start_firmware_check
        cmp     r0, #0
        movne   pc, r0                  @ the main firmware: a plain jump

        @ 8. Loader entry from flash.
        mrc     p15, 0, r0, c1, c0, 0   @ instruction cache, branch target buffer
        orr     r0, r0, #0x1800
        mcr     p15, 0, r0, c1, c0, 0
        cpwait  r0
        ldr     r0, k_ptable
        bl      bl_start_page_table
        mov     r0, #0                  @ copy flash 0 .. 512 KB to SDRAM
        mov     r1, #0xA0000000
        mov     r2, #0x80000
2:      ldmia   r0!, {r3-r10}
        stmia   r1!, {r3-r10}
        subs    r2, r2, #32
        bne     2b
        bl      mmu_on                  @ from here on the SDRAM copy runs
        mov     pc, #0x0C00             @ runtime entry (absolute)

        @ 9. RAM start.
ram_start:
        ldr     r0, k_ptable
        bl      bl_start_page_table
        bl      mmu_on
        mrc     p15, 0, r0, c1, c0, 0
        orr     r0, r0, #0x1800
        mcr     p15, 0, r0, c1, c0, 0
        cpwait  r0
        mov     pc, #0x0C00

@ MMU and data cache on, then the XScale clean: allocate 1,024 lines (32 KB,
@ the whole data cache) in an SDRAM range nothing else reads now, which writes
@ back every dirty line; read 64 lines from 0 for the mini data cache; then
@ invalidate the data cache, which drops the allocated lines unwritten.
mmu_on:
        mrc     p15, 0, r0, c1, c0, 0
        orr     r0, r0, #0x0005
        mcr     p15, 0, r0, c1, c0, 0
        cpwait  r0
        mov     r0, #0xA0000000
        orr     r0, r0, #0x00600000     @ 0xA0600000: below the stack, above the data
        mov     r1, #1024
3:      mcr     p15, 0, r0, c7, c2, 5
        cpwait  r2
        add     r0, r0, #32
        subs    r1, r1, #1
        bne     3b
        mov     r0, #0
        mov     r1, #64
4:      ldr     r2, [r0], #32
        subs    r1, r1, #1
        bne     4b
        mov     r0, #0
        mcr     p15, 0, r0, c7, c6, 0
        cpwait  r0
        mov     pc, lr
        .size   _reset, . - _reset

@ The ten constant words of the start-up code, at image offset 0x0BC8 in the
@ delivered order, then zeros up to the runtime entry at 0x0C00.
        .org    0x3C8
k_stack:        .word   0xA0800000      @ initial stack pointer
k_mdcnfg:       .word   0x00000981      @ SDRAM configuration
k_mdrefr:       .word   0x0001C030      @ SDRAM refresh
k_ptable:       .word   0xA0700000      @ page-table base
k_plain:        .word   0x0000010B      @ magic of a plain main firmware
k_gpio:         .word   0x40E00000      @ GPIO block
k_pwr:          .word   0x40F00000      @ power manager
k_cached:       .word   0xA0000C1E      @ first descriptor, cached range
k_uncached:     .word   0x00800C12      @ first descriptor, uncached range
k_flashwin:     .word   0x00000C12      @ first descriptor, flash window
        .org    0x400, 0
