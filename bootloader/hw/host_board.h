// Host build only: the hardware-access layer forwards every call to a Board.
// sim/ builds Boards out of device models; tests build small ones of their own.
#pragma once
#include <stdint.h>

namespace bl::hw {

class Board {
 public:
  virtual ~Board() = default;
  virtual uint32_t read32(uint32_t addr) = 0;
  virtual void write32(uint32_t addr, uint32_t value) = 0;
  virtual uint16_t flash_read16(uint32_t window_addr) = 0;
  virtual void flash_write16(uint32_t window_addr, uint16_t value) = 0;
  virtual uint32_t oscr() = 0;
  virtual void mem_read(uint32_t addr, void* dst, uint32_t n) = 0;
  virtual void mem_write(uint32_t addr, const void* src, uint32_t n) = 0;
  // Must not return: a Board throws (see LeaveLoader) so that the host runner or
  // the test regains control.
  [[noreturn]] virtual void jump(uint32_t addr) = 0;
  [[noreturn]] virtual void restart() = 0;
};

// Thrown by host Boards from jump() and restart(); carries where the loader went.
struct LeaveLoader {
  enum Kind { Jump, Restart } kind;
  uint32_t addr;
};

void set_board(Board* board);
Board* board();

// Forget all loader state (zero-initialised data, heap) as a reset would.
void reset_loader_state();

}  // namespace bl::hw
