#include "sim/engine/native/sim_board.h"

#include "bootloader/hw/host_board.h"

namespace sim {

void BusBoard::install() {
  bl::hw::set_board(this);
  bl::hw::reset_loader_state();
}

// A data abort: the vector table leads back to the reset entry.
void BusBoard::mem_read(uint32_t addr, void* dst, uint32_t n) {
  try {
    bus_.mem_read(addr, dst, n);
  } catch (const BusFault&) {
    throw bl::hw::LeaveLoader{bl::hw::LeaveLoader::Restart, 0};
  }
}

void BusBoard::mem_write(uint32_t addr, const void* src, uint32_t n) {
  try {
    bus_.mem_write(addr, src, n);
  } catch (const BusFault&) {
    throw bl::hw::LeaveLoader{bl::hw::LeaveLoader::Restart, 0};
  }
}

void BusBoard::jump(uint32_t addr) {
  ++jumps_;
  last_jump_ = addr;
  throw bl::hw::LeaveLoader{bl::hw::LeaveLoader::Jump, addr};
}

void BusBoard::restart() {
  ++jumps_;
  last_jump_ = 0;
  throw bl::hw::LeaveLoader{bl::hw::LeaveLoader::Restart, 0};
}

}  // namespace sim
