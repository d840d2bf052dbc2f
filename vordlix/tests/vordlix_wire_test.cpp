// The packet checksum and the serial frame reader.
#include <gtest/gtest.h>

#include <vector>

#include "vordlix/src/wire.h"

namespace vordlix::wire {
namespace {

TEST(VordlixWireTest, ChecksumIsTheInternetChecksumOnLittleEndianWords) {
  struct Case {
    std::vector<uint8_t> bytes;
    uint16_t sum;
  } cases[] = {
      {{}, 0xFFFF},
      {{0x01, 0x00, 0x02, 0x00}, 0xFFFC},
      {{0x34, 0x12}, 0xEDCB},
      {{0xFF}, 0xFF00},                    // odd byte as a low byte
      {{0xFF, 0xFF, 0x01, 0x00}, 0xFFFE},  // the carry is folded back
      {{0xE8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 0xFC17},  // a connect, field zero
  };
  for (const auto& c : cases) EXPECT_EQ(Checksum(c.bytes.data(), c.bytes.size()), c.sum);

  // Many words: the running sum's folding keeps it exact.
  std::vector<uint8_t> ff(200000, 0xFF);
  EXPECT_EQ(Checksum(ff.data(), ff.size()), 0x0000);
}

TEST(VordlixWireTest, PacketsCarryHeaderAndValidChecksum) {
  const uint8_t data[] = {'a', 'b', 'c'};
  auto p = BuildPacket(12, 0x5101, 7, data, 3);
  ASSERT_EQ(p.size(), 11u);
  Header h;
  ASSERT_TRUE(ParseHeader(p.data(), p.size(), &h));
  EXPECT_EQ(h.command, 12);
  EXPECT_EQ(h.connection, 0x5101);
  EXPECT_EQ(h.sequence, 7);
  EXPECT_EQ(p[4], 0x01);
  EXPECT_EQ(p[5], 0x51);
  EXPECT_TRUE(ChecksumValid(p.data(), p.size()));
  p[9] ^= 1;
  EXPECT_FALSE(ChecksumValid(p.data(), p.size()));
  EXPECT_FALSE(ParseHeader(p.data(), 7, &h));
}

TEST(VordlixWireTest, FrameLayout) {
  const uint8_t payload[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const auto f = BuildFrame(payload, sizeof payload);
  ASSERT_EQ(f.size(), 17u);
  EXPECT_EQ((std::vector<uint8_t>(f.begin(), f.begin() + 6)), (std::vector<uint8_t>{1, 1, 0x81, 0x7E, 9, 0}));
  std::vector<uint8_t> zeroed = f;
  zeroed[6] = zeroed[7] = 0;
  EXPECT_EQ(Get16(&f[6]), Checksum(zeroed.data(), zeroed.size()));
}

TEST(VordlixWireTest, FrameReaderFindsFramesInANoisyStream) {
  const uint8_t a[] = {10, 20, 30, 40, 50, 60, 70, 80};
  const uint8_t b[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  auto fa = BuildFrame(a, sizeof a);
  auto fb = BuildFrame(b, sizeof b);
  auto corrupt = fa;
  corrupt[9] ^= 0xFF;  // bad checksum
  auto other_lead = fb;
  other_lead[0] = 0x55;  // bytes 0 and 1 may be anything
  other_lead[1] = 0xAA;
  other_lead[6] = other_lead[7] = 0;  // the frame checksum covers bytes 0 and 1 too
  const uint16_t sum = Checksum(other_lead.data(), other_lead.size());
  Put16(&other_lead[6], sum);
  std::vector<uint8_t> stream = {0x81, 0x7E, 0xFF, 0x00, 0x81};  // noise, a false marker
  const uint8_t overlong[] = {1, 1, 0x81, 0x7E, 0xF9, 0x07};    // length 2,041: dropped
  stream.insert(stream.end(), overlong, overlong + sizeof overlong);
  stream.insert(stream.end(), corrupt.begin(), corrupt.end());
  stream.insert(stream.end(), fa.begin(), fa.end());
  stream.insert(stream.end(), other_lead.begin(), other_lead.end());

  // Fed one byte at a time, the reader yields exactly the two good frames.
  FrameReader reader;
  std::vector<std::vector<uint8_t>> got;
  for (uint8_t byte : stream) {
    reader.Feed(&byte, 1);
    std::vector<uint8_t> payload;
    while (reader.Next(&payload)) got.push_back(payload);
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], std::vector<uint8_t>(a, a + sizeof a));
  EXPECT_EQ(got[1], std::vector<uint8_t>(b, b + sizeof b));
  EXPECT_LT(reader.Pending(), 4u);
}

TEST(VordlixWireTest, SkipLeavesAFalseStartBehind) {
  // A false marker whose length promises more than ever comes holds back the next
  // frame until the stream falls silent and the reader skips it.
  const uint8_t a[] = {1, 2, 3, 4, 5, 6, 7, 8};
  const auto fa = BuildFrame(a, sizeof a);
  std::vector<uint8_t> stream = {0, 0, 0x81, 0x7E, 0x00, 0x04, 0, 0};
  stream.insert(stream.end(), fa.begin(), fa.end());
  FrameReader reader;
  reader.Feed(stream.data(), stream.size());
  std::vector<uint8_t> payload;
  EXPECT_FALSE(reader.Next(&payload));
  reader.Skip();
  ASSERT_TRUE(reader.Next(&payload));
  EXPECT_EQ(payload, std::vector<uint8_t>(a, a + sizeof a));
}

}  // namespace
}  // namespace vordlix::wire
