@ The runtime entry at image offset 0x0C00, reached from the start-up code with
@ the MMU on: initialised data, zeroed data, stack, heap, then the main routine.

        .syntax unified
        .arm
        .section .runtime_entry, "ax"
        .global _runtime_entry
        .type   _runtime_entry, %function
_runtime_entry:
        @ Copy entries (source, destination, length), then zero entries
        @ (address, length); link.ld writes both tables.
        ldr     r0, =__init_copy_table
        ldr     r1, =__init_zero_table
1:      cmp     r0, r1
        beq     3f
        ldmia   r0!, {r2, r3, r4}
2:      subs    r4, r4, #4
        ldrpl   r5, [r2], #4
        strpl   r5, [r3], #4
        bhi     2b
        b       1b
3:      ldr     r1, =__init_tables_end
        mov     r5, #0
4:      cmp     r0, r1
        beq     6f
        ldmia   r0!, {r2, r3}
5:      subs    r3, r3, #4
        strpl   r5, [r2], #4
        bhi     5b
        b       4b
6:      ldr     sp, =0xA0700000         @ stack below the page table
        bl      bl_start_runtime        @ heap
        bl      _ZN2bl11loader_mainEv   @ never returns
        mov     pc, #0                  @ if it did: restart
        .size   _runtime_entry, . - _runtime_entry
        .ltorg
