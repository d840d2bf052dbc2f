// Target build of the hardware-access layer: plain volatile accesses on the
// PXA25x's physical (device) or virtual (flash window, SDRAM) addresses.
#include "bootloader/hw/hw.h"
#include "bootloader/runtime/mem.h"

namespace bl::hw {
namespace {
constexpr uint32_t kOSCR = 0x40A00010;
template <typename T> volatile T* at(uint32_t addr) {
  return reinterpret_cast<volatile T*>(static_cast<uintptr_t>(addr));
}
}  // namespace

uint32_t read32(uint32_t addr) { return *at<uint32_t>(addr); }
void write32(uint32_t addr, uint32_t value) { *at<uint32_t>(addr) = value; }
uint16_t flash_read16(uint32_t addr) { return *at<uint16_t>(addr); }
void flash_write16(uint32_t addr, uint16_t value) { *at<uint16_t>(addr) = value; }
uint32_t oscr() { return *at<uint32_t>(kOSCR); }

void mem_read(uint32_t addr, void* dst, uint32_t n) {
  memcpy(dst, reinterpret_cast<const void*>(static_cast<uintptr_t>(addr)), n);
}
// Only the run commands write memory directly, and they run what they wrote:
// push the copy out of the write-back data cache, line by line (clean by
// address), so that instruction fetches find it in memory.
void mem_write(uint32_t addr, const void* src, uint32_t n) {
  memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(addr)), src, n);
  if (n == 0) return;
  for (uint32_t line = addr & ~31u; line - (addr & ~31u) < n + (addr & 31u); line += 32)
    asm volatile("mcr p15, 0, %0, c7, c10, 1" : : "r"(line) : "memory");
}

void write_cclkcfg(uint32_t value) {
  // The write, then the XScale CPWAIT: read back cp15 c2 and branch on.
  asm volatile(
      "mcr p14, 0, %0, c6, c0, 0\n\t"
      "mrc p15, 0, r12, c2, c0, 0\n\t"
      "mov r12, r12\n\t"
      "sub pc, pc, #4"
      :
      : "r"(value)
      : "r12", "memory");
}

// Into code just copied (1016, 110 target 100): drain the write buffer so the
// cleaned lines reach memory, then invalidate the instruction cache and the
// branch target buffer, which may hold what stood at the address before; CPWAIT;
// then a plain branch: no mode change, MMU and caches on.
void jump(uint32_t addr) {
  asm volatile(
      "mov r12, #0\n\t"
      "mcr p15, 0, r12, c7, c10, 4\n\t"  // drain write buffer
      "mcr p15, 0, r12, c7, c5, 0\n\t"   // invalidate instruction cache and BTB
      "mrc p15, 0, r12, c2, c0, 0\n\t"
      "mov r12, r12\n\t"
      "sub pc, pc, #4\n\t"
      "mov pc, %0"
      :
      : "r"(addr)
      : "r12", "memory");
  __builtin_unreachable();
}

// A jump to the reset entry through address 0, MMU and caches as they are.
void restart() {
  asm volatile("mov pc, #0" : : : "memory");
  __builtin_unreachable();
}

}  // namespace bl::hw
