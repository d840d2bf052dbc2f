// The loader's one way of waiting: a busy loop on the OS timer (3.6864 MHz).
#include "bootloader/pause.h"
#include "bootloader/hw/hw.h"

namespace bl {

void pause_us(uint32_t us) {
  uint32_t start = hw::oscr();
  uint32_t ticks = us * 3768u / 1024u;  // 3.68 ticks per µs; 32-bit product
  for (int i = 0; i < 60; ++i) asm volatile("");
  uint32_t end = start + ticks;
  // When start + ticks passes 2^32 the end lies beyond the wrap; the wrap rule
  // below then ends the pause (compared as is, the sum would end it at once).
  bool end_beyond_wrap = end < start;
  for (;;) {
    uint32_t now = hw::oscr();
    if (now <= start) return;  // the counter wrapped
    if (!end_beyond_wrap && now >= end) return;
  }
}

}  // namespace bl
