// What every memory-mapped device model offers the simulated bus: 32-bit register
// reads and writes at an offset inside its window. Models know nothing of the
// boot loader, so the same models serve the host runner and an emulated board.
#pragma once
#include <cstdint>

namespace sim {

class MmioDevice {
 public:
  virtual ~MmioDevice() = default;
  virtual uint32_t read32(uint32_t offset) = 0;
  virtual void write32(uint32_t offset, uint32_t value) = 0;
};

// Time as the devices see it, in OS-timer ticks (3.6864 MHz).
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t ticks() const = 0;
};

}  // namespace sim
