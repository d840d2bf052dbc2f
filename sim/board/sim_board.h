// The simulated terminal's bus behind the boot loader's hardware-access layer.
//
// Address decode:
//   0xFF800000-0xFFFFFFFF  flash window → the flash model (2 MB, mirrored over the
//                          8 MB window as the chip's address lines do)
//   0xA0000000-0xA07FFFFF  SDRAM, also seen at virtual 0x00000000-0x007FFFFF
//   0x40A00000 (+0x20)     OS timer (OSCR at +0x10)
//   attach(base, size, d)  any other register block (DM9000, UARTs, recorders)
// Register accesses nobody answers are recorded, not fatal: reads give 0.
// Memory reads and writes that fall in the page table's fault range
// (0xA0800000-0xFF7FFFFF) abort as on the terminal: the loader restarts.
// jump() and restart() throw bl::hw::LeaveLoader.
#pragma once
#include <cstdint>
#include <vector>

#include "devices/flash_model.h"
#include "devices/mmio.h"
#include "devices/os_timer.h"
#include "devices/ram.h"
#include "hw/host_board.h"

namespace sim {

class SimBoard : public bl::hw::Board {
 public:
  static constexpr uint32_t kFlashWindow = 0xFF800000u;
  static constexpr uint32_t kSdram = 0xA0000000u;
  static constexpr uint32_t kSdramSize = 0x800000u;
  static constexpr uint32_t kOsTimer = 0x40A00000u;

  struct Access {
    uint32_t addr;
    uint32_t value;  // the value written, or the length of a memory access
    enum Kind { Read32, Write32, FlashRead, FlashWrite, MemRead, MemWrite } kind;
  };

  explicit SimBoard(uint16_t flash_id = 0x22C4,
                    OsTimer::Mode mode = OsTimer::Mode::Virtual);

  // Installs this board and fresh loader state (as after a reset).
  void install();

  void attach(uint32_t base, uint32_t size, MmioDevice& device);

  OsTimer timer;
  FlashModel flash;
  Ram sdram{kSdram, kSdramSize};

  const std::vector<Access>& unmapped() const { return unmapped_; }
  void clear_unmapped() { unmapped_.clear(); }
  uint64_t jumps() const { return jumps_; }
  uint32_t last_jump() const { return last_jump_; }

  // bl::hw::Board
  uint32_t read32(uint32_t addr) override;
  void write32(uint32_t addr, uint32_t value) override;
  uint16_t flash_read16(uint32_t window_addr) override;
  void flash_write16(uint32_t window_addr, uint16_t value) override;
  uint32_t oscr() override;
  void mem_read(uint32_t addr, void* dst, uint32_t n) override;
  void mem_write(uint32_t addr, const void* src, uint32_t n) override;
  [[noreturn]] void jump(uint32_t addr) override;
  [[noreturn]] void restart() override;

 private:
  struct Mapping {
    uint32_t base, size;
    MmioDevice* device;
  };
  MmioDevice* decode(uint32_t addr, uint32_t& offset);
  void record(uint32_t addr, uint32_t value, Access::Kind kind);
  [[noreturn]] void abort_access();

  std::vector<Mapping> map_;
  std::vector<Access> unmapped_;
  uint64_t jumps_ = 0;
  uint32_t last_jump_ = 0;
};

}  // namespace sim
