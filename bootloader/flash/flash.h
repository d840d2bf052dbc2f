// The boot-flash store: identification, geometry, read-merge-write.
#pragma once
#include <stdint.h>

namespace bl {

constexpr uint32_t kFlashWindow = 0xFF800000u;
constexpr uint32_t kFlashSize = 0x200000u;

struct FlashGeometry {
  int32_t sector_count;
  int32_t nominal_size;
  int32_t sector_size[64];
  int32_t parameter_sector;
  int32_t unlock1;
  int32_t unlock2;
  int32_t erase_unit;
  int32_t usable;  // 0 for an unknown device ID: every write fails
};

void flash_identify();                     // start-up; includes the 100 ms pause
int32_t sector_of(uint32_t addr);          // flash offset or window address; -2 beyond the end
uint32_t sector_start(int32_t index);      // window address
// 1 on success, -1 erase failed, -2 program failed (also -1/-2 style failure,
// never a write, for an unknown part or when no sector buffer can be had).
int32_t flash_write(uint32_t dest, const uint8_t* src, uint32_t length);

}  // namespace bl
