#include "sim/machine/bus.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {
constexpr uint32_t kFaultStart = 0xA0800000u;
constexpr size_t kMaxRecorded = 100000;  // a long run must not grow without end
}  // namespace

Bus::Bus(uint16_t flash_id, OsTimer::Mode mode) : timer(mode), flash(flash_id, &timer) {
  attach(kOsTimer, 0x20, timer);
}

void Bus::attach(uint32_t base, uint32_t size, MmioDevice& device) {
  map_.push_back(Mapping{base, size, &device});
}

MmioDevice* Bus::decode(uint32_t addr, uint32_t& offset) {
  // The latest attachment wins, so a device can be put in front of another.
  for (auto it = map_.rbegin(); it != map_.rend(); ++it) {
    const Mapping& m = *it;
    if (addr - m.base < m.size) {
      offset = addr - m.base;
      return m.device;
    }
  }
  return nullptr;
}

void Bus::record(uint32_t addr, uint32_t value, Access::Kind kind) {
  if (unmapped_.size() < kMaxRecorded) unmapped_.push_back(Access{addr, value, kind});
}

uint32_t Bus::read32(uint32_t addr) {
  uint32_t off;
  if (MmioDevice* d = decode(addr, off)) return d->read32(off);
  record(addr, 0, Access::Read32);
  return 0;
}

void Bus::write32(uint32_t addr, uint32_t value) {
  uint32_t off;
  if (MmioDevice* d = decode(addr, off)) return d->write32(off, value);
  record(addr, value, Access::Write32);
}

uint16_t Bus::flash_read16(uint32_t a) {
  if (a >= kFlashWindow) return flash.read16((a - kFlashWindow) % FlashModel::kSize);
  record(a, 0, Access::FlashRead);
  return 0xFFFF;
}

void Bus::flash_write16(uint32_t a, uint16_t value) {
  if (a >= kFlashWindow) return flash.write16((a - kFlashWindow) % FlashModel::kSize, value);
  record(a, value, Access::FlashWrite);
}

uint32_t Bus::oscr() { return timer.read32(OsTimer::OSCR); }

void Bus::abort_access(uint32_t addr) { throw BusFault{addr}; }

void Bus::mem_read(uint32_t addr, void* dst, uint32_t n) {
  uint8_t* out = static_cast<uint8_t*>(dst);
  while (n > 0) {
    uint32_t k;
    if (addr >= kFlashWindow) {
      k = std::min<uint32_t>(n, 0u - addr);  // up to the end of the space
      for (uint32_t i = 0; i < k; ++i) {
        uint32_t a = addr + i;
        uint16_t h = flash.read16((a - kFlashWindow) % FlashModel::kSize);
        out[i] = static_cast<uint8_t>(a & 1 ? h >> 8 : h);
      }
    } else if (addr >= kSdram && addr < kSdram + kSdramSize) {
      k = std::min(n, kSdram + kSdramSize - addr);
      sdram.read(addr, out, k);
    } else if (addr < kSdramSize) {  // virtual 0 to 8 MB: the SDRAM
      k = std::min(n, kSdramSize - addr);
      sdram.read(kSdram + addr, out, k);
    } else if (addr >= kFaultStart) {
      abort_access(addr);
    } else {  // identity-mapped register space: nothing modelled as memory
      k = std::min(n, kSdram - addr);
      std::memset(out, 0, k);
      record(addr, k, Access::MemRead);
    }
    out += k;
    addr += k;
    n -= k;
  }
}

void Bus::mem_write(uint32_t addr, const void* src, uint32_t n) {
  const uint8_t* in = static_cast<const uint8_t*>(src);
  while (n > 0) {
    uint32_t k;
    if (addr >= kSdram && addr < kSdram + kSdramSize) {
      k = std::min(n, kSdram + kSdramSize - addr);
      sdram.write(addr, in, k);
    } else if (addr < kSdramSize) {
      k = std::min(n, kSdramSize - addr);
      sdram.write(kSdram + addr, in, k);
    } else if (addr >= kFaultStart && addr < kFlashWindow) {
      abort_access(addr);
    } else {  // the flash window (plain stores do not program it) or registers
      k = addr >= kFlashWindow ? std::min<uint32_t>(n, 0u - addr) : std::min(n, kSdram - addr);
      record(addr, k, Access::MemWrite);
    }
    in += k;
    addr += k;
    n -= k;
  }
}

}  // namespace sim
