// The simulated terminal's bus: what answers at each physical address. It knows
// the device models, not what runs on them: the native engine puts it behind the
// boot loader's hardware-access layer, the ARM engine behind its memory hooks.
//
// Address decode:
//   0xFF800000-0xFFFFFFFF  flash window → the flash model (2 MB, mirrored over the
//                          8 MB window as the chip's address lines do)
//   0xA0000000-0xA07FFFFF  SDRAM, also seen at virtual 0x00000000-0x007FFFFF
//   0x40A00000 (+0x20)     OS timer (OSCR at +0x10)
//   attach(base, size, d)  any other register block (DM9000, UARTs, recorders);
//                          a later attachment over the same range takes its place
// Register accesses nobody answers are recorded, not fatal: reads give 0.
// Memory reads and writes that fall in the page table's fault range
// (0xA0800000-0xFF7FFFFF) throw BusFault, as the terminal's data abort.
#pragma once
#include <cstdint>
#include <vector>

#include "sim/devices/flash_model.h"
#include "sim/devices/mmio.h"
#include "sim/devices/os_timer.h"
#include "sim/devices/ram.h"

namespace sim {

// A memory access the terminal's page table turns into a data abort.
struct BusFault {
  uint32_t addr;
};

class Bus {
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

  explicit Bus(uint16_t flash_id = 0x22C4, OsTimer::Mode mode = OsTimer::Mode::Virtual);
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  void attach(uint32_t base, uint32_t size, MmioDevice& device);

  OsTimer timer;
  FlashModel flash;
  Ram sdram{kSdram, kSdramSize};

  const std::vector<Access>& unmapped() const { return unmapped_; }
  void clear_unmapped() { unmapped_.clear(); }

  uint32_t read32(uint32_t addr);
  void write32(uint32_t addr, uint32_t value);
  uint16_t flash_read16(uint32_t window_addr);
  void flash_write16(uint32_t window_addr, uint16_t value);
  uint32_t oscr();
  // Memory as the loader's code sees it with its page table on (flash window,
  // SDRAM and its alias at virtual 0); throws BusFault in the fault range.
  void mem_read(uint32_t addr, void* dst, uint32_t n);
  void mem_write(uint32_t addr, const void* src, uint32_t n);

 private:
  struct Mapping {
    uint32_t base, size;
    MmioDevice* device;
  };
  MmioDevice* decode(uint32_t addr, uint32_t& offset);
  void record(uint32_t addr, uint32_t value, Access::Kind kind);
  [[noreturn]] static void abort_access(uint32_t addr);

  std::vector<Mapping> map_;
  std::vector<Access> unmapped_;
};

}  // namespace sim
