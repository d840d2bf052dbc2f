// The first-level page table of loader mode: 4,096 one-megabyte sections.
//   virtual 0 .. 8 MB          -> SDRAM 0xA0000000, cached (the loader runs here)
//   8 MB .. 0xA0000000          -> identity, uncached (devices)
//   0xA0000000 .. 0xA0800000    -> identity, cached (SDRAM)
//   0xA0800000 .. 0xFF800000    -> fault
//   0xFF800000 .. 4 GB          -> flash 0 .. 8 MB, uncached (the flash window)
#pragma once
#include <stdint.h>

namespace bl::boot {

constexpr uint32_t kPageTableBase = 0xA0700000;
constexpr uint32_t kSections = 4096;
constexpr uint32_t kCached = 0xC1E;    // AP 3, domain 0, C and B, section
constexpr uint32_t kUncached = 0xC12;  // AP 3, domain 0, section

// The descriptor of section i (virtual address i << 20).
uint32_t section_descriptor(uint32_t i);
// Writes all 4,096 descriptors in address order.
void build_page_table(uint32_t* table);

}  // namespace bl::boot
