#include "bootloader/boot/page_table.h"

namespace bl::boot {

uint32_t section_descriptor(uint32_t i) {
  uint32_t va = i << 20;
  if (i < 0x008) return (0xA0000000u + va) | kCached;
  if (i < 0xA00) return va | kUncached;
  if (i < 0xA08) return va | kCached;
  if (i < 0xFF8) return va;  // type 0: fault
  return (va - 0xFF800000u) | kUncached;
}

void build_page_table(uint32_t* table) {
  for (uint32_t i = 0; i < kSections; ++i) table[i] = section_descriptor(i);
}

}  // namespace bl::boot
