// The wire formats against the independent reference in testing/.
#include <gtest/gtest.h>

#include <random>

#include "testing/reference.h"
#include "wire/checksum.h"
#include "wire/packet.h"
#include "wire/serial_frame.h"

namespace {

using qtest::Bytes;

Bytes random_bytes(std::mt19937& rng, size_t n, uint8_t fill = 0) {
  Bytes b(n, fill);
  if (!fill)
    for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

TEST(WireChecksum, EqualsTheReferenceForAnyLength) {
  std::mt19937 rng(7);
  // Odd and even lengths, empty, and long runs of 0xFF that make the running
  // sum fold many times.
  for (size_t n : {0, 1, 2, 3, 7, 8, 9, 1031, 1032, 65536, 200001}) {
    for (uint8_t fill : {0, 0xFF}) {
      Bytes b = random_bytes(rng, n, fill);
      EXPECT_EQ(wire::checksum(b.data(), static_cast<uint32_t>(n)), qtest::ref_checksum(b))
          << "n=" << n << " fill=" << int(fill);
    }
  }
}

TEST(WirePacket, SealAndCheckAgreeWithTheReference) {
  std::mt19937 rng(11);
  for (size_t data : {0, 1, 2, 100, 1024}) {
    Bytes ref = qtest::packet(1501, 0x1234, 7, random_bytes(rng, data));
    Bytes p = ref;
    p[2] = p[3] = 0xAA;
    wire::packet::seal(p.data(), static_cast<uint32_t>(p.size()));
    EXPECT_EQ(p, ref);
    EXPECT_TRUE(wire::packet::checksum_ok(p.data(), static_cast<uint32_t>(p.size())));
    // Any changed byte, the checksum field included, is caught; the bytes stay as they were.
    for (size_t i = 0; i < p.size(); i += 3) {
      Bytes bad = p;
      bad[i] ^= 0x01;
      Bytes before = bad;
      EXPECT_FALSE(wire::packet::checksum_ok(bad.data(), static_cast<uint32_t>(bad.size()))) << i;
      EXPECT_EQ(bad, before);
    }
  }
  uint8_t short_packet[3] = {1, 2, 3};
  EXPECT_FALSE(wire::packet::checksum_ok(short_packet, 3));
}

TEST(WireFrame, SealBuildsTheReferenceFrame) {
  std::mt19937 rng(3);
  for (size_t n : {1, 2, 8, 2040}) {
    Bytes payload = random_bytes(rng, n);
    Bytes f(8 + n);
    std::copy(payload.begin(), payload.end(), f.begin() + 8);
    EXPECT_EQ(wire::frame::seal(f.data(), static_cast<uint32_t>(n)), 8 + n);
    EXPECT_EQ(f, qtest::frame(payload));
    EXPECT_TRUE(wire::frame::checksum_ok(f.data()));
    f.back() ^= 0x80;
    EXPECT_FALSE(wire::frame::checksum_ok(f.data()));
  }
}

TEST(WireFrame, StatusByteByByte) {
  using S = wire::frame::Status;
  Bytes good = qtest::frame({0x10, 0x20, 0x30});
  for (uint32_t have = 0; have <= good.size(); ++have)
    EXPECT_EQ(wire::frame::status(good.data(), have), have == good.size() ? S::Complete : S::More)
        << have;
  struct Case {
    const char* what;
    Bytes frame;
    uint32_t have;
    S want;
  } cases[] = {
      {"first two bytes are free", {0xEE, 0xEE, 0x81, 0x7E, 1, 0, 0, 0, 9}, 9, S::Complete},
      {"wrong marker", {1, 1, 0x81, 0x7F}, 4, S::Bad},
      {"length 2,040 is the largest", {1, 1, 0x81, 0x7E, 0xF8, 0x07, 0, 0}, 8, S::More},
      {"length 2,041 is refused", {1, 1, 0x81, 0x7E, 0xF9, 0x07, 0, 0}, 8, S::Bad},
      {"L = 0 never completes", {1, 1, 0x81, 0x7E, 0, 0, 0, 0, 5, 5, 5}, 11, S::More},
  };
  for (const Case& c : cases) EXPECT_EQ(wire::frame::status(c.frame.data(), c.have), c.want) << c.what;
}

}  // namespace
