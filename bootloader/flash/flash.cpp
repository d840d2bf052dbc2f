// The boot-flash store. Every flash access is a 16-bit read or write through the
// uncached window (hw::flash_read16/flash_write16), every wait a pause_us.
#include "bootloader/flash/flash.h"

#include "bootloader/hw/hw.h"
#include "bootloader/loader_state.h"
#include "bootloader/pause.h"
#include "bootloader/runtime/heap.h"
#include "bootloader/runtime/mem.h"

namespace bl {
namespace {

constexpr int32_t kNominal = 0x10000;
constexpr int32_t kSectorCount = 35;
constexpr int kEraseAttempts = 102;
constexpr int kProgramAttempts = 101;
constexpr int kErasePolls = 5000;
constexpr int kProgramPolls = 100;

// The known parts. Small sectors are given as shifts of the nominal size
// (1 = half, 2 = quarter, 3 = eighth) starting at sector `small_first`.
struct KnownPart {
  uint16_t id;
  uint16_t unlock1, unlock2;
  uint8_t parameter_sector;
  uint8_t small_first;
  uint8_t small_shift[4];
  int32_t erase_unit;
};
constexpr KnownPart kParts[] = {
    {0x22C4, 0x555, 0x2AA, 33, 31, {1, 3, 3, 2}, 0x10000},
    {0x2249, 0x555, 0x2AA, 2, 0, {2, 3, 3, 1}, 0x10000},
    {0x2782, 0x5555, 0x2AAA, 2, 0, {2, 3, 3, 1}, 0x1000},
};

uint16_t rd(uint32_t offset) { return hw::flash_read16(kFlashWindow + offset); }
void wr(uint32_t offset, uint16_t v) { hw::flash_write16(kFlashWindow + offset, v); }
void cycle(int32_t word_addr, uint16_t v) { wr(2u * static_cast<uint32_t>(word_addr), v); }
void reset_cycle() { cycle(0, 0xF0); }

void unlock(const FlashGeometry& g) {
  cycle(g.unlock1, 0xAA);
  cycle(g.unlock2, 0x55);
}

uint16_t read_id(uint16_t u1, uint16_t u2) {
  cycle(u1, 0xAA);
  cycle(u2, 0x55);
  cycle(u1, 0x90);
  uint16_t id = rd(2);  // word address 1
  reset_cycle();
  return id;
}

uint32_t sector_offset(const FlashGeometry& g, int32_t index) {
  uint32_t off = 0;
  for (int32_t i = 0; i < index; ++i) off += static_cast<uint32_t>(g.sector_size[i]);
  return off;
}

bool erase_unit(const FlashGeometry& g, uint32_t start) {
  unlock(g);
  cycle(g.unlock1, 0x80);
  unlock(g);
  wr(start, 0x30);
  pause_us(5000);
  for (int poll = 0; poll < kErasePolls; ++poll) {
    if (rd(start) == 0xFFFF && rd(start + 0x20) == 0xFFFF && rd(start + 0x200) == 0xFFFF &&
        rd(start + 0x400) == 0xFFFF)
      return true;
    pause_us(1000);
  }
  return false;
}

bool erase_sector(const FlashGeometry& g, uint32_t start, uint32_t size) {
  const uint32_t unit = static_cast<uint32_t>(g.erase_unit);
  for (uint32_t u = start; u < start + size; u += unit)
    if (!erase_unit(g, u)) return false;
  return true;
}

bool program_halfword(const FlashGeometry& g, uint32_t offset, uint16_t value) {
  unlock(g);
  cycle(g.unlock1, 0xA0);
  wr(offset, value);
  pause_us(20);
  for (int poll = 0; poll < kProgramPolls; ++poll) {
    if (rd(offset) == value) return true;
    pause_us(20);
  }
  return false;
}

}  // namespace

void flash_identify() {
  uint16_t u1 = 0x555, u2 = 0x2AA;
  uint16_t id = read_id(u1, u2);
  if (id != 0x22C4 && id != 0x2249) {
    u1 = 0x5555;
    u2 = 0x2AAA;
    id = read_id(u1, u2);
  }
  pause_ms(100);

  if (!g_state.geometry)
    g_state.geometry = static_cast<FlashGeometry*>(heap_alloc(sizeof(FlashGeometry)));
  FlashGeometry* g = g_state.geometry;
  if (!g) return;  // no geometry: every write fails
  memset(g, 0, sizeof *g);

  const KnownPart* part = nullptr;
  for (const KnownPart& k : kParts)
    if (k.id == id) part = &k;
  // An unknown part keeps the first layout so that sector arithmetic stays
  // defined, but is marked unusable: every write fails.
  const KnownPart& p = part ? *part : kParts[0];
  g->usable = part != nullptr;
  g->sector_count = kSectorCount;
  g->nominal_size = kNominal;
  g->parameter_sector = p.parameter_sector;
  g->unlock1 = part ? p.unlock1 : u1;
  g->unlock2 = part ? p.unlock2 : u2;
  g->erase_unit = p.erase_unit;
  for (int32_t i = 0; i < kSectorCount; ++i) g->sector_size[i] = kNominal;
  for (int32_t i = 0; i < 4; ++i) g->sector_size[p.small_first + i] = kNominal >> p.small_shift[i];
}

int32_t sector_of(uint32_t addr) {
  const FlashGeometry* g = g_state.geometry;
  if (!g) return -2;
  if (addr >= kFlashWindow) addr -= kFlashWindow;
  uint32_t end = 0;
  for (int32_t i = 0; i < g->sector_count; ++i) {
    end += static_cast<uint32_t>(g->sector_size[i]);
    if (addr < end) return i;
  }
  return -2;
}

uint32_t sector_start(int32_t index) {
  const FlashGeometry* g = g_state.geometry;
  if (!g || index < 0) return kFlashWindow;
  return kFlashWindow + sector_offset(*g, index);
}

int32_t flash_write(uint32_t dest, const uint8_t* src, uint32_t length) {
  const FlashGeometry* g = g_state.geometry;
  if (!g || !g->usable) return -1;
  if (dest >= kFlashWindow) dest -= kFlashWindow;
  if (dest > kFlashSize || length > kFlashSize - dest) return -1;  // never beyond the part

  uint8_t* buf = static_cast<uint8_t*>(heap_alloc(static_cast<uint32_t>(g->nominal_size)));
  if (!buf) return -1;
  int32_t result = 1;

  while (length > 0) {
    const int32_t i = sector_of(dest);
    if (i < 0) { result = -1; break; }
    const uint32_t S = static_cast<uint32_t>(g->sector_size[i]);
    const uint32_t B = sector_offset(*g, i);
    for (uint32_t k = 0; k < S; k += 2) {
      uint16_t h = rd(B + k);
      buf[k] = static_cast<uint8_t>(h);
      buf[k + 1] = static_cast<uint8_t>(h >> 8);
    }
    const uint32_t a = dest - B;
    const uint32_t e = (length < S - a) ? a + length : S;
    const uint32_t m = e - a;

    if (memcmp(buf + a, src, m) != 0) {
      bool erase = false;
      for (uint32_t k = a; k < e; ++k)
        if (buf[k] != 0xFF) { erase = true; break; }

      if (erase) {
        for (int attempt = 1; !erase_sector(*g, B, S); ++attempt) {
          pause_ms(200);
          reset_cycle();  // also after the last attempt: leave the part in read mode
          if (attempt == kEraseAttempts) { result = -1; break; }
        }
        if (result != 1) break;
      }

      memcpy(buf + a, src, m);
      const uint32_t from = erase ? 0 : (a & ~1u);
      const uint32_t to = erase ? S : ((e + 1) & ~1u);
      for (uint32_t k = from; k < to && result == 1; k += 2) {
        const uint16_t v = static_cast<uint16_t>(buf[k] | (buf[k + 1] << 8));
        for (int attempt = 1; !program_halfword(*g, B + k, v); ++attempt) {
          pause_ms(10);
          reset_cycle();
          if (attempt == kProgramAttempts) { result = -2; break; }
        }
      }
      if (result != 1) break;
    }
    dest += m;
    src += m;
    length -= m;
  }
  heap_free(buf);
  return result;
}

}  // namespace bl
