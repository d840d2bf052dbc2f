// The start-up's firmware check (header, copy, LZO1X unpacking) and the page
// table of loader mode, on the host with liblzo2.
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "bootloader/boot/firmware.h"
#include "bootloader/boot/page_table.h"

namespace {

using bl::boot::Firmware;
using bl::boot::Payload;
using Bytes = std::vector<uint8_t>;

Bytes header(uint16_t magic, uint16_t high, uint32_t length) {
  return {uint8_t(magic), uint8_t(magic >> 8), uint8_t(high), uint8_t(high >> 8),
          uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)};
}

TEST(BootFirmwareHeader, DecidesBetweenFirmwareAndLoaderMode) {
  struct Case {
    uint16_t magic, high;
    uint32_t length;
    Payload kind;
    uint32_t load;
  } cases[] = {
      {0x010B, 0xA000, 1000, Payload::Plain, 0xA0000000},
      {0x000B, 0xA002, 1000, Payload::Compressed, 0xA0020000},
      {0x010B, 0x8000, 4, Payload::Plain, 0x80000000},
      {0x000B, 0xFFFF, 0, Payload::Compressed, 0xFFFF0000},
      {0x010B, 0x7FFF, 1000, Payload::None, 0},  // bit 15 clear
      {0x000B, 0x0000, 1000, Payload::None, 0},
      {0x050B, 0xA000, 1000, Payload::None, 0},  // other magics
      {0x0B01, 0xA000, 1000, Payload::None, 0},
      {0xFFFF, 0xFFFF, 0xFFFFFFFF, Payload::None, 0},  // erased flash
      {0x0000, 0x0000, 0, Payload::None, 0},
      // The payload must fit in the flash behind the header.
      {0x010B, 0xA000, bl::boot::kMaxPayload, Payload::Plain, 0xA0000000},
      {0x010B, 0xA000, bl::boot::kMaxPayload + 1, Payload::None, 0},
      {0x000B, 0xA000, 0xFFFFFFFF, Payload::None, 0},
  };
  for (const Case& c : cases) {
    Bytes h = header(c.magic, c.high, c.length);
    Firmware fw = bl::boot::parse_header(h.data());
    EXPECT_EQ(fw.kind, c.kind) << std::hex << c.magic << " " << c.high << " " << c.length;
    if (c.kind == Payload::None) continue;
    EXPECT_EQ(fw.load, c.load);
    EXPECT_EQ(fw.length, c.length);
  }
  EXPECT_EQ(bl::boot::kMaxPayload, 0x200000u - 0x10008u);
}

TEST(BootFirmwareLoad, PlainPayloadIsCopiedInWholeWords) {
  Bytes payload(16);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(0x10 + i);
  for (uint32_t length : {0u, 1u, 4u, 10u, 12u}) {
    Bytes dst(32, 0xEE);
    Firmware fw{Payload::Plain, 0xA0000000, length};
    ASSERT_TRUE(bl::boot::load_payload(fw, payload.data(), dst.data()));
    uint32_t copied = (length + 3) & ~3u;
    for (uint32_t i = 0; i < dst.size(); ++i)
      EXPECT_EQ(dst[i], i < copied ? payload[i] : 0xEE) << "length " << length << " byte " << i;
  }
}

class BootFirmwareLzo : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { bl::boot::lzo_start(); }
  static Bytes compress(const Bytes& in) {
    Bytes out(in.size() + in.size() / 16 + 64 + 3);
    std::vector<uint8_t> work(LZO1X_1_MEM_COMPRESS);
    lzo_uint n = out.size();
    EXPECT_EQ(lzo1x_1_compress(in.data(), in.size(), out.data(), &n, work.data()), LZO_E_OK);
    out.resize(n);
    return out;
  }
  static Bytes sample(size_t n) {
    Bytes b(n);
    uint32_t x = 12345;
    for (size_t i = 0; i < n; ++i) {
      x = x * 1103515245 + 12345;
      b[i] = (i % 512 < 256) ? uint8_t(i) : uint8_t(x >> 24);  // runs and noise
    }
    return b;
  }
  // Unpacks into a 2 MB destination with a guard behind it.
  static bool unpack(const Bytes& packed, Bytes& dst) {
    dst.assign(bl::boot::kUnpackCapacity + 4096, 0xEE);
    Firmware fw{Payload::Compressed, 0xA0000000, uint32_t(packed.size())};
    return bl::boot::load_payload(fw, packed.data(), dst.data());
  }
  static bool guard_intact(const Bytes& dst) {
    for (size_t i = bl::boot::kUnpackCapacity; i < dst.size(); ++i)
      if (dst[i] != 0xEE) return false;
    return true;
  }
};

TEST_F(BootFirmwareLzo, CompressedPayloadIsUnpacked) {
  Bytes firmware = sample(300000);
  Bytes packed = compress(firmware);
  ASSERT_LT(packed.size(), firmware.size());
  Bytes dst;
  ASSERT_TRUE(unpack(packed, dst));
  EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), dst.begin()));
  EXPECT_EQ(dst[firmware.size()], 0xEE);
}

TEST_F(BootFirmwareLzo, DamagedPayloadMeansLoaderMode) {
  Bytes firmware = sample(200000);
  Bytes packed = compress(firmware);
  Bytes dst;

  Bytes truncated(packed.begin(), packed.begin() + packed.size() / 2);
  EXPECT_FALSE(unpack(truncated, dst)) << "input ends early";
  EXPECT_TRUE(guard_intact(dst));

  Bytes trailing = packed;
  trailing.insert(trailing.end(), {1, 2, 3, 4});
  EXPECT_FALSE(unpack(trailing, dst)) << "length field longer than the stream";

  Bytes garbage = sample(5000);
  EXPECT_FALSE(unpack(garbage, dst)) << "not LZO1X at all";
  EXPECT_TRUE(guard_intact(dst));

  // Flip bytes through the stream: every outcome is safe, and a success only
  // when the output is still what the stream says (never beyond 2 MB).
  for (size_t at = 3; at < packed.size(); at += packed.size() / 37) {
    Bytes bad = packed;
    bad[at] ^= 0xA5;
    unpack(bad, dst);
    EXPECT_TRUE(guard_intact(dst)) << "flip at " << at;
  }
}

TEST_F(BootFirmwareLzo, OutputBeyondTwoMegabytesIsRefused) {
  Bytes exact(bl::boot::kUnpackCapacity, 0x5A);
  Bytes dst;
  EXPECT_TRUE(unpack(compress(exact), dst));
  Bytes over(bl::boot::kUnpackCapacity + 1, 0x5A);
  EXPECT_FALSE(unpack(compress(over), dst));
  EXPECT_TRUE(guard_intact(dst));
}

TEST(BootPageTable, MapsLoaderModeMemory) {
  std::vector<uint32_t> table(bl::boot::kSections, 0xDEADBEEF);
  bl::boot::build_page_table(table.data());
  for (uint32_t i = 0; i < bl::boot::kSections; ++i)
    ASSERT_EQ(table[i], bl::boot::section_descriptor(i)) << i;

  // Each range: first and last section, physical base and low bits.
  struct Range {
    uint32_t first, last, phys_first;
    uint32_t bits;
    bool fault;
  } ranges[] = {
      {0x000, 0x007, 0xA00, 0xC1E, false},  // virtual 0: the SDRAM copy
      {0x008, 0x9FF, 0x008, 0xC12, false},  // devices, identity
      {0xA00, 0xA07, 0xA00, 0xC1E, false},  // SDRAM, identity
      {0xA08, 0xFF7, 0xA08, 0x000, true},   // fault
      {0xFF8, 0xFFF, 0x000, 0xC12, false},  // flash window
  };
  uint32_t next = 0;
  for (const Range& r : ranges) {
    EXPECT_EQ(r.first, next) << "ranges cover the table";
    next = r.last + 1;
    for (uint32_t i = r.first; i <= r.last; ++i) {
      uint32_t d = table[i];
      uint32_t phys = (r.phys_first + (i - r.first)) << 20;
      EXPECT_EQ(d & 0xFFF00000, phys) << "section " << i;
      if (r.fault) {
        EXPECT_EQ(d & 3, 0u) << "section " << i;
        EXPECT_EQ(d & 0xFFFFF, 0u);
      } else {
        EXPECT_EQ(d & 0xFFFFF, r.bits) << "section " << i;
      }
    }
  }
  EXPECT_EQ(next, bl::boot::kSections);
  // The first descriptors of the three mapped kinds, as the start-up code's
  // constants give them.
  EXPECT_EQ(table[0x000], 0xA0000C1Eu);
  EXPECT_EQ(table[0x008], 0x00800C12u);
  EXPECT_EQ(table[0xFF8], 0x00000C12u);
}

}  // namespace
