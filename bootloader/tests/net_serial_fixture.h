// A small board for the network and serial tests: the DM9000 and UART models,
// register recorders, and an OS timer in virtual time that moves on by a fixed
// step at every read, so pauses end at once yet keep their length measurable.
// Frame builders with an independent Internet checksum.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "devices/dm9000.h"
#include "devices/recorder.h"
#include "devices/uart.h"
#include "hw/host_board.h"
#include "loader_state.h"
#include "hw/hw.h"

namespace nettest {

using Bytes = std::vector<uint8_t>;

class VirtualClock : public sim::Clock {
 public:
  uint64_t ticks() const override { return now; }
  uint64_t now = 0;
};

class TestBoard : public bl::hw::Board {
 public:
  static constexpr uint32_t kTicksPerRead = 37;  // about 10 µs per OSCR read

  VirtualClock clock;
  sim::Dm9000 eth;
  sim::Uart ffuart, btuart;
  sim::Recorder gpio{"gpio", &clock}, clocks{"clock", &clock}, power{"power", &clock};
  uint64_t unmapped = 0;

  uint32_t read32(uint32_t a) override {
    if (sim::MmioDevice* d = decode(a)) return d->read32(a & 0xFFFF);
    ++unmapped;
    return 0;
  }
  void write32(uint32_t a, uint32_t v) override {
    if (sim::MmioDevice* d = decode(a)) d->write32(a & 0xFFFF, v);
    else ++unmapped;
  }
  uint16_t flash_read16(uint32_t) override { return 0xFFFF; }
  void flash_write16(uint32_t, uint16_t) override {}
  uint32_t oscr() override {
    clock.now += kTicksPerRead;
    return static_cast<uint32_t>(clock.now);
  }
  void mem_read(uint32_t, void* d, uint32_t n) override { memset(d, 0, n); }
  void mem_write(uint32_t, const void*, uint32_t) override {}
  [[noreturn]] void jump(uint32_t a) override { throw bl::hw::LeaveLoader{bl::hw::LeaveLoader::Jump, a}; }
  [[noreturn]] void restart() override { throw bl::hw::LeaveLoader{bl::hw::LeaveLoader::Restart, 0}; }

  double ms() const { return clock.now / 3686.4; }

 private:
  sim::MmioDevice* decode(uint32_t a) {
    switch (a & 0xFFFF0000u) {
      case 0x0C000000u: return (a & 0xFFFF) < 8 ? &eth : nullptr;
      case 0x40100000u: return &ffuart;
      case 0x40200000u: return &btuart;
      case 0x40E00000u: return &gpio;
      case 0x40F00000u: return &power;
      case 0x41300000u: return &clocks;
      default: return nullptr;
    }
  }
};

// Installs a fresh board and fresh loader state for every test.
class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bl::hw::reset_loader_state();
    bl::hw::set_board(&board);
  }
  void TearDown() override { bl::hw::set_board(nullptr); }
  TestBoard board;
};

// RFC 1071, written independently of the loader's routine.
inline uint16_t inet_sum(const uint8_t* p, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i + 1 < n; i += 2) s += p[i] | (p[i + 1] << 8);
  if (n & 1) s += p[n - 1];
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint16_t>(~s);
}

inline uint32_t be16(const Bytes& b, size_t at) { return (b[at] << 8) | b[at + 1]; }
inline uint32_t le16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }
inline void put_be16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
inline void put_le16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// A command packet: header (command, checksum, connection id, sequence) + data.
inline Bytes command(uint16_t cmd, uint16_t conn, uint16_t seq, const Bytes& data = {}) {
  Bytes p(8, 0);
  put_le16(p, 0, cmd);
  put_le16(p, 4, conn);
  put_le16(p, 6, seq);
  append(p, data);
  put_le16(p, 2, inet_sum(p.data(), p.size()));
  return p;
}

}  // namespace nettest
// TEMP-UNTIL-PAUSE-LANDS
namespace bl {
__attribute__((weak)) void pause_us(uint32_t us) {
  uint32_t start = hw::oscr();
  uint32_t ticks = us * 3768u / 1024u;
  for (;;) {
    uint32_t now = hw::oscr();
    if (now >= start + ticks || now <= start) return;
  }
}
}  // namespace bl
