#include "sim/devices/ram.h"

#include <cstring>

namespace sim {

void Ram::read(uint32_t addr, void* dst, uint32_t n) const {
  if (!contains(addr, n)) return;
  std::memcpy(dst, bytes_.data() + (addr - base_), n);
}

void Ram::write(uint32_t addr, const void* src, uint32_t n) {
  if (!contains(addr, n)) return;
  std::memcpy(bytes_.data() + (addr - base_), src, n);
}

}  // namespace sim
