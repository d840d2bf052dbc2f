// The boot loader's one door to the hardware.
//
// Every device access of the loader's logic goes through these calls. The target
// build implements them as volatile memory accesses (hw_target.cpp); the host
// build forwards them to a Board made of device models (hw_host.cpp).
// Only the memory read, the run commands and the start-up code touch memory or
// code directly, and they too go through mem_read / mem_write / jump here.
#pragma once
#include <stdint.h>

namespace bl::hw {

// 32-bit device registers (UARTs, GPIO, clock, power manager, memory controller,
// OS timer, Ethernet controller index/data registers).
uint32_t read32(uint32_t addr);
void write32(uint32_t addr, uint32_t value);

// 16-bit accesses to the boot flash through the uncached window at 0xFF800000.
uint16_t flash_read16(uint32_t window_addr);
void flash_write16(uint32_t window_addr, uint16_t value);

// The OS timer counter OSCR (3.6864 MHz, wraps at 2^32).
uint32_t oscr();

// Direct memory: command 111 reads, command 110 target 100 and 1016 copy.
void mem_read(uint32_t addr, void* dst, uint32_t n);
void mem_write(uint32_t addr, const void* src, uint32_t n);

// Coprocessor 14 register 6 (CCLKCFG): 2 starts a core-clock frequency change.
// The host models no core clock; there the write does nothing.
#if BL_HOST
inline void write_cclkcfg(uint32_t) {}
#else
void write_cclkcfg(uint32_t value);
#endif

// Leave the loader: run code at addr (1016, target 100), or restart by a jump
// to address 0 (1004, fatal errors).
[[noreturn]] void jump(uint32_t addr);
[[noreturn]] void restart();

}  // namespace bl::hw
