// The native engine's board: a sim::Bus put behind the boot loader's
// hardware-access layer, so the loader's logic built for the host runs on the
// device models. A BusFault becomes the restart the terminal's data abort leads
// to; jump() and restart() throw bl::hw::LeaveLoader.
#pragma once
#include <cstdint>

#include "bootloader/hw/host_board.h"
#include "sim/machine/bus.h"

namespace sim {

class BusBoard : public bl::hw::Board {
 public:
  explicit BusBoard(Bus& bus) : bus_(bus) {}

  // Installs this board and fresh loader state (as after a reset).
  void install();

  uint64_t jumps() const { return jumps_; }
  uint32_t last_jump() const { return last_jump_; }

  uint32_t read32(uint32_t addr) override { return bus_.read32(addr); }
  void write32(uint32_t addr, uint32_t value) override { bus_.write32(addr, value); }
  uint16_t flash_read16(uint32_t a) override { return bus_.flash_read16(a); }
  void flash_write16(uint32_t a, uint16_t v) override { bus_.flash_write16(a, v); }
  uint32_t oscr() override { return bus_.oscr(); }
  void mem_read(uint32_t addr, void* dst, uint32_t n) override;
  void mem_write(uint32_t addr, const void* src, uint32_t n) override;
  [[noreturn]] void jump(uint32_t addr) override;
  [[noreturn]] void restart() override;

 private:
  Bus& bus_;
  uint64_t jumps_ = 0;
  uint32_t last_jump_ = 0;
};

// A bus with the host-built loader on it: what the loader's tests, fuzz targets
// and benchmarks run on.
class SimBoard : public Bus, public BusBoard {
 public:
  explicit SimBoard(uint16_t flash_id = 0x22C4, OsTimer::Mode mode = OsTimer::Mode::Virtual)
      : Bus(flash_id, mode), BusBoard(static_cast<Bus&>(*this)) {}
  using Bus::flash_read16;
  using Bus::flash_write16;
  using Bus::mem_read;
  using Bus::mem_write;
  using Bus::oscr;
  using Bus::read32;
  using Bus::write32;
};

}  // namespace sim
