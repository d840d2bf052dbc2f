// Serial frames on the command port: receive rules (markers, length, checksum,
// silence) and the frames sent back, through the UART model.
#include <gtest/gtest.h>

#include "bootloader/net/net.h"
#include "bootloader/tests/net_serial_fixture.h"
#include "bootloader/protocol/protocol.h"
#include "bootloader/serial/serial.h"

using namespace nettest;

namespace {

struct FrameOpts {
  uint8_t b0 = 0x01, b1 = 0x01, b2 = 0x81, b3 = 0x7E;
  int length = -1;        // -1: the payload's
  bool bad_sum = false;
};

Bytes serial_frame(const Bytes& payload, const FrameOpts& o = {}) {
  Bytes f = {o.b0, o.b1, o.b2, o.b3, 0, 0, 0, 0};
  put_le16(f, 4, o.length >= 0 ? o.length : payload.size());
  append(f, payload);
  uint16_t sum = inet_sum(f.data(), f.size());
  put_le16(f, 6, o.bad_sum ? sum ^ 0x0101 : sum);
  return f;
}

// Splits what the loader wrote into frames, checking each frame's markers and
// checksum; returns the payloads.
std::vector<Bytes> payloads(const Bytes& tx) {
  std::vector<Bytes> out;
  size_t at = 0;
  while (at < tx.size()) {
    EXPECT_GE(tx.size() - at, 8u);
    if (tx.size() - at < 8) break;
    Bytes head(tx.begin() + at, tx.begin() + at + 8);
    EXPECT_EQ(Bytes(head.begin(), head.begin() + 4), (Bytes{0x01, 0x01, 0x81, 0x7E}));
    size_t len = le16(head, 4);
    EXPECT_LE(at + 8 + len, tx.size());
    if (at + 8 + len > tx.size()) break;
    Bytes f(tx.begin() + at, tx.begin() + at + 8 + len);
    uint16_t sum = le16(f, 6);
    put_le16(f, 6, 0);
    EXPECT_EQ(inet_sum(f.data(), f.size()), sum) << "frame checksum";
    out.emplace_back(f.begin() + 8, f.end());
    at += 8 + len;
  }
  return out;
}

class SerialFrameTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    bl::g_data.command_port.open(115200);
  }
  // Feeds bytes, serves the command port once, returns the reply payloads.
  std::vector<Bytes> serve(const Bytes& in) {
    board.ffuart.push_rx(in);
    bl::serve_command_port();
    return payloads(board.ffuart.take_tx());
  }
  uint16_t connect() {
    std::vector<Bytes> r = serve(serial_frame(command(1000, 0, 0)));
    EXPECT_EQ(r.size(), 1u);
    return r.empty() ? 0 : le16(r[0], 4);
  }
};

TEST_F(SerialFrameTest, ConnectReplyCarries2000AndTheConnectionId) {
  std::vector<Bytes> r = serve(serial_frame(command(1000, 0x1234, 0)));
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].size(), 8u);
  EXPECT_EQ(le16(r[0], 0), 2000u);
  EXPECT_EQ(inet_sum(r[0].data(), 8), 0) << "packet checksum";
  uint16_t id = le16(r[0], 4);
  // The id works: version over the same port.
  r = serve(serial_frame(command(1100, id, 1)));
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(r[0].size(), 25u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&r[0][8]), "BLDR Apr 14 2004");
}

TEST_F(SerialFrameTest, FramesInFramesOut) {
  Bytes connect = command(1000, 0, 0);
  struct Case {
    const char* what;
    Bytes in;
    size_t replies;
    size_t left;  // bytes still waiting in the UART afterwards
  };
  Bytes trailer = {0xA5, 0xA5, 0xA5};
  auto with_trailer = [&](Bytes b) { append(b, trailer); return b; };
  const Case cases[] = {
      {"good, trailing bytes drained", with_trailer(serial_frame(connect)), 1, 0},
      {"any bytes 0 and 1", serial_frame(connect, {0xAA, 0x55}), 1, 0},
      {"byte 2 wrong", with_trailer(serial_frame(connect, {1, 1, 0x80})), 0, 0},
      {"byte 3 wrong", with_trailer(serial_frame(connect, {1, 1, 0x81, 0x7F})), 0, 0},
      {"L above 2,040", with_trailer(serial_frame(connect, {1, 1, 0x81, 0x7E, 2041})), 0, 0},
      {"checksum mismatch: not drained", with_trailer(serial_frame(connect, {1, 1, 0x81, 0x7E, -1, true})), 0, 3},
      {"L = 7: the handler drops it", with_trailer(serial_frame(Bytes(7, 0))), 0, 3},
      {"L = 1", serial_frame(Bytes{0xE8}), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    board.ffuart.push_rx(c.in);
    bl::serve_command_port();
    EXPECT_EQ(payloads(board.ffuart.take_tx()).size(), c.replies);
    EXPECT_EQ(board.ffuart.rx_pending(), c.left);
    bl::g_data.command_port.drain();
  }
}

TEST_F(SerialFrameTest, AfterAChecksumMismatchTheNextBytesStartANewFrame) {
  Bytes in = serial_frame(command(1000, 0, 0), {1, 1, 0x81, 0x7E, -1, true});
  append(in, serial_frame(command(1000, 0, 0)));
  board.ffuart.push_rx(in);
  bl::serve_command_port();
  EXPECT_TRUE(board.ffuart.take_tx().empty());
  bl::serve_command_port();
  EXPECT_EQ(payloads(board.ffuart.take_tx()).size(), 1u);
}

TEST_F(SerialFrameTest, SilenceOf20MsInsideAFrameAbandonsIt) {
  Bytes f = serial_frame(command(1000, 0, 0));
  board.ffuart.push_rx(Bytes(f.begin(), f.begin() + 5));
  double t0 = board.ms();
  bl::serve_command_port();
  double waited = board.ms() - t0;
  EXPECT_GE(waited, 19.9);
  EXPECT_LT(waited, 21.5);
  EXPECT_TRUE(board.ffuart.take_tx().empty());
  // The next frame is received from its start.
  EXPECT_EQ(serve(f).size(), 1u);
}

TEST_F(SerialFrameTest, LengthZeroNeverCompletesAndEndsBySilence) {
  Bytes in = serial_frame({});
  // More bytes than a frame buffer holds: they are consumed, never stored past it.
  for (int i = 0; i < 3000; ++i) in.push_back(static_cast<uint8_t>(i));
  board.ffuart.push_rx(in);
  bl::serve_command_port();
  EXPECT_EQ(board.ffuart.rx_pending(), 0u);
  EXPECT_TRUE(board.ffuart.take_tx().empty());
  EXPECT_EQ(serve(serial_frame(command(1000, 0, 0))).size(), 1u) << "the port still works";
}

TEST_F(SerialFrameTest, NothingWaitingReturnsAtOnce) {
  double t0 = board.ms();
  bl::serve_command_port();
  EXPECT_LT(board.ms() - t0, 0.1);
}

TEST_F(SerialFrameTest, ALineErrorCountsAsSomethingWaiting) {
  board.ffuart.inject_error(0x04);
  bl::serve_command_port();  // reads a (missing) byte, then times out
  EXPECT_TRUE(board.ffuart.take_tx().empty());
  EXPECT_EQ(serve(serial_frame(command(1000, 0, 0))).size(), 1u);
}

TEST_F(SerialFrameTest, ShortRequestsSeeZerosNotOldBytes) {
  uint16_t id = connect();
  // An earlier frame leaves "size 16" where a 1500's data would stand; it is
  // dropped for its checksum, but its bytes are in the receive buffer.
  serve(serial_frame(command(1500, id, 1, {16, 0, 0, 0}), {1, 1, 0x81, 0x7E, -1, true}));
  std::vector<Bytes> r = serve(serial_frame(command(1500, id, 1)));
  ASSERT_EQ(r.size(), 1u);  // refused, or announcing 0 bytes: never 16
  r = serve(serial_frame(command(1501, id, 2, {1, 2, 3})));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(le16(r[0], 0), 2001u) << "no room announced";
}

TEST_F(SerialFrameTest, MemoryReadSendsEachPacketInItsOwnFrameWithPauses) {
  uint16_t id = connect();
  Bytes req(8, 0);
  put_le16(req, 4, 2500);
  board.ffuart.push_rx(serial_frame(command(111, id, 1, req)));
  double t0 = board.ms();
  bl::serve_command_port();
  double took = board.ms() - t0;
  std::vector<Bytes> r = payloads(board.ffuart.take_tx());
  ASSERT_EQ(r.size(), 5u);
  EXPECT_EQ(le16(r[0], 0), 1500u);
  size_t sizes[] = {1024, 1024, 452};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(le16(r[1 + i], 0), 1501u);
    EXPECT_EQ(le16(r[1 + i], 4), unsigned(i));
    EXPECT_EQ(r[1 + i].size(), 8 + sizes[i]);
    EXPECT_EQ(inet_sum(r[1 + i].data(), r[1 + i].size()), 0);
  }
  EXPECT_EQ(le16(r[4], 0), 2000u);
  EXPECT_GE(took, 3 * 0.088);
}

TEST_F(SerialFrameTest, Command1004RepliesThenRestarts) {
  uint16_t id = connect();
  board.ffuart.push_rx(serial_frame(command(1004, id, 1)));
  EXPECT_THROW(bl::serve_command_port(), bl::hw::LeaveLoader);
  std::vector<Bytes> r = payloads(board.ffuart.take_tx());
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(le16(r[0], 0), 0xFFFFu);
}

TEST_F(SerialFrameTest, SerialSendFramesAPacket) {
  Bytes p = command(2000, 7, 9, Bytes(2032, 0x3C));
  bl::serial_send(p.data(), p.size(), nullptr);
  Bytes tx = board.ffuart.take_tx();
  ASSERT_EQ(tx.size(), p.size() + 8);
  std::vector<Bytes> r = payloads(tx);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], p);
  // A transmit buffer is free again afterwards.
  EXPECT_NE(bl::frame_tx(), nullptr);
}

}  // namespace
