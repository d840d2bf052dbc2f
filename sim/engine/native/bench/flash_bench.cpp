// flash-bench: the flash cycles the loader's store issues for typical writes,
// against the minimum the data needs, on the flash model in virtual time.
//
// Minimum: an erase only for the erase blocks where some bit must go from 0 to 1,
// then a program only for the halfwords that must change (in an erased block:
// those not 0xFFFF). An erase is 6 bus cycles, a program 4.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "sim/engine/native/sim_board.h"
#include "bootloader/flash/flash.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(seed >> 16);
  }
  return b;
}

struct Minimum {
  uint64_t erases = 0, programs = 0;
  uint64_t cycles() const { return 6 * erases + 4 * programs; }
};

Minimum minimum(const sim::FlashModel& f, uint32_t dest, const Bytes& data) {
  Bytes old(f.data(), f.data() + sim::FlashModel::kSize);
  Bytes fin = old;
  std::memcpy(fin.data() + dest, data.data(), data.size());
  Minimum m;
  for (uint32_t start = 0; start < sim::FlashModel::kSize;) {
    const uint32_t size = f.block_size(start);
    bool erase = false, touched = false;
    for (uint32_t o = start; o < start + size; ++o) {
      erase |= (fin[o] & ~old[o]) != 0;
      touched |= fin[o] != old[o];
    }
    if (touched) {
      m.erases += erase;
      for (uint32_t o = start; o < start + size; o += 2) {
        const bool need = erase ? (fin[o] & fin[o + 1]) != 0xFF
                                : (fin[o] != old[o] || fin[o + 1] != old[o + 1]);
        m.programs += need;
      }
    }
    start += size;
  }
  return m;
}

struct Case {
  const char* name;
  uint16_t id;
  std::function<void(sim::FlashModel&)> before;  // contents before the write
  uint32_t dest;
  Bytes data;
};

}  // namespace

int main() {
  const Bytes image = pattern(20464, 1), image2 = pattern(20464, 2);
  const Bytes firmware = pattern(196599, 3);
  const Bytes sector = pattern(65536, 4), sector2 = pattern(65536, 5);
  // One changed byte: once with a bit that must go from 0 to 1 (an erase is
  // needed), once with bits that only go from 1 to 0 (programming would do).
  Bytes up = sector, down = sector;
  const unsigned old = sector[0x1234];               // neither 0x00 nor 0xFF here
  up[0x1234] = static_cast<uint8_t>(old | (~old & (old + 1)));  // sets the lowest 0 bit
  down[0x1234] = static_cast<uint8_t>(old & (old - 1));         // clears the lowest 1 bit
  const std::vector<Case> cases = {
      {"boot image, blank part (0x22C4)", 0x22C4, nullptr, 0, image},
      {"boot image, same again", 0x22C4, [&](sim::FlashModel& f) { f.set_contents(0, image); }, 0, image},
      {"boot image over another", 0x22C4, [&](sim::FlashModel& f) { f.set_contents(0, image2); }, 0, image},
      {"boot image over another (0x2249)", 0x2249, [&](sim::FlashModel& f) { f.set_contents(0, image2); }, 0, image},
      {"firmware 196,599 B, blank", 0x22C4, nullptr, 0x10000, firmware},
      {"one byte in 64 KB, a bit 0 -> 1", 0x22C4, [&](sim::FlashModel& f) { f.set_contents(0x50000, sector); }, 0x51234, Bytes{up[0x1234]}},
      {"one byte in 64 KB, bits 1 -> 0 only", 0x22C4, [&](sim::FlashModel& f) { f.set_contents(0x50000, sector); }, 0x51234, Bytes{down[0x1234]}},
      {"64 KB sector rewrite (0x2782)", 0x2782, [&](sim::FlashModel& f) { f.set_contents(0x10000, sector2); }, 0x10000, sector},
      {"3 bytes at 0x2001, blank", 0x22C4, nullptr, 0x2001, Bytes{1, 2, 3}},
  };

  std::printf("%-36s %8s %8s %10s %10s %9s %8s %10s %9s\n", "write", "erases", "min", "programs",
              "min", "cycles", "x min", "term. ms", "host ms");
  for (const Case& c : cases) {
    sim::SimBoard board(c.id);
    board.install();
    bl::flash_identify();
    if (c.before) c.before(board.flash);
    const Minimum m = minimum(board.flash, c.dest, c.data);
    board.flash.clear_counters();
    const double t0 = board.timer.elapsed_ms();
    const auto h0 = std::chrono::steady_clock::now();
    const int32_t r = bl::flash_write(bl::kFlashWindow + c.dest, c.data.data(),
                                      static_cast<uint32_t>(c.data.size()));
    const double host = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - h0).count();
    const auto& k = board.flash.counters();
    const bool ok = r == 1 && std::memcmp(board.flash.data() + c.dest, c.data.data(), c.data.size()) == 0;
    const uint64_t cycles = k.writes;
    char ratio[16];
    if (m.cycles()) std::snprintf(ratio, sizeof ratio, "%.2f", double(cycles) / double(m.cycles()));
    else std::snprintf(ratio, sizeof ratio, cycles ? "inf" : "-");
    std::printf("%-36s %8llu %8llu %10llu %10llu %9llu %8s %10.1f %9.1f%s\n", c.name,
                (unsigned long long)k.erases, (unsigned long long)m.erases,
                (unsigned long long)k.programs, (unsigned long long)m.programs,
                (unsigned long long)cycles, ratio, board.timer.elapsed_ms() - t0, host,
                ok ? "" : "  WRONG RESULT");
    bl::hw::set_board(nullptr);
    if (!ok) return 1;
  }
  std::printf("\ncycles: bus writes the store issued (erase 6, program 4 each); min: what the data needs.\n"
              "term. ms: the terminal's time in the flash model's timing (10 ms per erase block, 8 us per program).\n");
  return 0;
}
