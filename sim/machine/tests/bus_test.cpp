// The simulated terminal's bus: address decode, memory, the flash window, the
// fault range, the log of accesses nobody answers.
#include <gtest/gtest.h>

#include <vector>

#include "sim/machine/bus.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Reg : sim::MmioDevice {
  uint32_t read32(uint32_t off) override { return 0x1000 + off; }
  void write32(uint32_t off, uint32_t v) override { last = {off, v}; }
  std::pair<uint32_t, uint32_t> last{};
};

TEST(SimBus, DecodesDevicesMemoryAndTheFlashWindow) {
  sim::Bus b(0x2249);
  Reg dev;
  b.attach(0x40100000u, 0x30, dev);
  EXPECT_EQ(b.read32(0x40100014u), 0x1014u);
  b.write32(0x4010000Cu, 3);
  EXPECT_EQ(dev.last, (std::pair<uint32_t, uint32_t>{0x0C, 3}));
  // Nobody at these: recorded, not fatal.
  EXPECT_EQ(b.read32(0x40100030u), 0u);
  b.write32(0x48000000u, 0x981);
  ASSERT_EQ(b.unmapped().size(), 2u);
  EXPECT_EQ(b.unmapped()[1].addr, 0x48000000u);
  EXPECT_EQ(b.unmapped()[1].value, 0x981u);
  EXPECT_EQ(b.unmapped()[1].kind, sim::Bus::Access::Write32);
  // OSCR is the timer.
  uint32_t t = b.oscr();
  EXPECT_EQ(b.read32(0x40A00010u), t + sim::OsTimer::kDefaultStep);
  // The flash window, mirrored every 2 MB.
  b.flash.set_contents(0x10, Bytes{0x34, 0x12});
  EXPECT_EQ(b.flash_read16(0xFF800010u), 0x1234);
  EXPECT_EQ(b.flash_read16(0xFFA00010u), 0x1234);
  uint8_t buf[3];
  b.mem_read(0xFF80000Fu, buf, 3);
  EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0xFF, 0x34, 0x12}));
  // SDRAM, and its alias at virtual 0.
  const uint8_t v[4] = {1, 2, 3, 4};
  b.mem_write(0x7FFFFE, v, 4);  // the alias ends at 8 MB: the rest is recorded
  b.mem_write(0xA0000100u, v, 4);
  b.mem_read(0x100, buf, 3);
  EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{1, 2, 3}));
  EXPECT_EQ(b.sdram.data()[0x7FFFFF], 2);
  // The fault range aborts.
  try {
    b.mem_read(0xA0800000u, buf, 1);
    FAIL();
  } catch (const sim::BusFault& f) {
    EXPECT_EQ(f.addr, 0xA0800000u);
  }
}

}  // namespace
