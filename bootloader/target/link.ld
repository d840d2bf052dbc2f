/* The boot-loader image: linked for address 0, image offset = address.
 *
 *   0x0000  vector table (eight branches to 0x800), zeros to 0x0800
 *   0x0800  start-up code; its ten constants at 0x0BC8, zeros at 0x0BF0
 *   0x0C00  runtime entry, then code and read-only data
 *   0x3E20  version text (code and constants fill the room below it first,
 *           the rest follows it)
 *   then    data-initialisation tables, initial values of bl::g_data
 *
 *   0xA0100000  bl::g_data (64 bytes), then the zero-initialised bl::g_state
 *
 * The image must end below 0x6000, where the parameter sector of bottom-boot
 * flash parts begins (and so below the firmware header at 0x10000).
 */
OUTPUT_FORMAT("elf32-littlearm")
OUTPUT_ARCH(arm)
ENTRY(_reset)

MEMORY
{
  VEC     (rx) : ORIGIN = 0x0000, LENGTH = 0x0800
  START   (rx) : ORIGIN = 0x0800, LENGTH = 0x0400
  LOW     (rx) : ORIGIN = 0x0C00, LENGTH = 0x3E20 - 0x0C00
  STAMP   (r)  : ORIGIN = 0x3E20, LENGTH = 17
  HIGH    (rx) : ORIGIN = 0x3E31, LENGTH = 0x6000 - 0x3E31
  DATA    (rw) : ORIGIN = 0xA0100000, LENGTH = 0x00080000
}

SECTIONS
{
  .vectors : { KEEP(*(.vectors)) . = 0x800; } > VEC
  .startup : { KEEP(*(.startup)) } > START

  /* Listed first so that the .rodata rules below do not take it. */
  .version : { KEEP(*(.rodata._ZN2bl12kVersionTextE)) } > STAMP

  .text : {
    KEEP(*(.runtime_entry))
    *(.text .text.*)
    *(.rodata .rodata.* .constdata)
  } > LOW
  .text_high : ALIGN(4) {
    *(.text .text.*)
    *(.rodata .rodata.* .constdata)
  } > HIGH

  .init_tables : ALIGN(4) {
    __init_copy_table = .;
    LONG(LOADADDR(.data)) LONG(ADDR(.data)) LONG(SIZEOF(.data))
    __init_zero_table = .;
    LONG(ADDR(.bss)) LONG(SIZEOF(.bss))
    __init_tables_end = .;
  } > HIGH

  .data : ALIGN(4) {
    KEEP(*(.data._ZN2bl6g_dataE))
    *(.data .data.*)
    . = ALIGN(4);
  } > DATA AT > HIGH
  __image_end = LOADADDR(.data) + SIZEOF(.data);

  .bss (NOLOAD) : ALIGN(4) {
    *(.bss._ZN2bl7g_stateE)
    *(.bss .bss.* COMMON)
    . = ALIGN(4);
  } > DATA

  /* This runtime runs no constructors: a static constructor must fail the link. */
  .init_array : { *(.init_array* .ctors* .preinit_array*) } > HIGH

  /DISCARD/ : { *(.ARM.exidx* .ARM.extab* .gnu.linkonce.armexidx.* .fini_array* .dtors*) }

  .ARM.attributes 0 : { KEEP(*(.ARM.attributes)) }
  .comment 0 : { *(.comment) }
  .debug_info 0 : { *(.debug_info .gnu.linkonce.wi.*) }
  .debug_abbrev 0 : { *(.debug_abbrev) }
  .debug_line 0 : { *(.debug_line .debug_line.* .debug_line_end) }
  .debug_frame 0 : { *(.debug_frame) }
  .debug_str 0 : { *(.debug_str) }
  .debug_loc 0 : { *(.debug_loc) }
  .debug_ranges 0 : { *(.debug_ranges) }
  .debug_aranges 0 : { *(.debug_aranges) }
  .debug_line_str 0 : { *(.debug_line_str) }
  .debug_loclists 0 : { *(.debug_loclists) }
  .debug_rnglists 0 : { *(.debug_rnglists) }
}

ASSERT(_reset == 0x0800, "the reset entry must be at 0x0800")
ASSERT(SIZEOF(.startup) == 0x400, "the start-up code must end at 0x0C00")
ASSERT(_runtime_entry == 0x0C00, "the runtime entry must be at 0x0C00")
ASSERT(ADDR(.version) == 0x3E20, "the version text must be at 0x3E20")
ASSERT(ADDR(.data) == 0xA0100000, "the loader's data must be at 0xA0100000")
ASSERT(SIZEOF(.data) == 64, "bl::g_data must be the only initialised data (64 bytes)")
ASSERT(SIZEOF(.init_array) == 0, "static constructors are not run: use bl::g_state")
ASSERT(__image_end < 0x6000, "the image must stay below 24,576 bytes")
