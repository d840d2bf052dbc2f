// The protocol and flash-store tests' board: the simulated bus with its flash
// model, a recording send routine per transport, and a packet builder whose
// checksum is computed independently of the loader's routine.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim/engine/native/sim_board.h"
#include "bootloader/flash/flash.h"
#include "bootloader/hw/host_board.h"
#include "bootloader/loader_state.h"
#include "bootloader/protocol/protocol.h"
#include "bootloader/runtime/heap.h"
#include "testing/reference.h"

namespace ptest {

using qtest::Bytes;

using qtest::le16;
using qtest::le32;
using qtest::packet;
using qtest::ref_checksum;
using qtest::u32s;
inline Bytes pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(seed >> 16);
  }
  return b;
}

// One packet that a send routine was given.
struct Sent {
  char via;    // 'n' network routine, 's' serial routine
  Bytes peer;  // the peer address it was sent to
  Bytes bytes;
  uint32_t code() const { return le16(bytes, 0); }
  uint32_t conn() const { return le16(bytes, 4); }
  uint32_t seq() const { return le16(bytes, 6); }
  bool checksum_ok() const { return qtest::packet_checksum_ok(bytes); }
};

inline std::vector<Sent>& sent_log() {
  static std::vector<Sent> log;
  return log;
}
inline void send_net(const uint8_t* p, uint32_t n, const uint8_t* peer) {
  sent_log().push_back({'n', Bytes(peer, peer + bl::kPeerAddrLen), Bytes(p, p + n)});
}
inline void send_serial(const uint8_t* p, uint32_t n, const uint8_t* peer) {
  sent_log().push_back({'s', Bytes(peer, peer + bl::kPeerAddrLen), Bytes(p, p + n)});
}

inline Bytes net_peer(uint8_t last) { return {2, 0, 0, 0, 0, last, 127, 0, 0, last}; }
inline Bytes serial_peer() { return {0xC0, 'F', 'F', 'U', 0, 0, 0, 0, 0, 0}; }

constexpr int32_t kNetRate = 104857600;
constexpr int32_t kSerialRate = 115200;

// A board with a flash of the given ID, identified, and an empty table.
class LoaderTest : public ::testing::Test {
 protected:
  explicit LoaderTest(uint16_t flash_id = 0x22C4) : board(flash_id) {}
  void SetUp() override {
    board.install();
    bl::flash_identify();
    board.flash.clear_counters();
    sent_log().clear();
  }
  void TearDown() override { bl::hw::set_board(nullptr); }

  // Hands one packet to the handler in a frame-sized buffer whose bytes past
  // the packet are stale (0xEE), as a transport's receive buffer would be.
  // A connect is completed as a transport does it.
  int32_t handle(const Bytes& p, const Bytes& peer = net_peer(1), bl::SendFn send = send_net,
                 int32_t rate = kNetRate) {
    std::memset(frame_, 0xEE, sizeof frame_);
    if (!p.empty()) std::memcpy(frame_, p.data(), p.size());
    int32_t r = bl::handle_packet(frame_, static_cast<int32_t>(p.size()));
    if (r == 1000) bl::complete_connect(frame_, static_cast<int32_t>(p.size()), peer.data(), send, rate);
    return r;
  }

  // Connects and returns the connection id from the reply.
  uint16_t connect(const Bytes& peer = net_peer(1), bl::SendFn send = send_net,
                   int32_t rate = kNetRate) {
    size_t before = sent_log().size();
    EXPECT_EQ(handle(packet(1000, 0, 0), peer, send, rate), 1000);
    EXPECT_EQ(sent_log().size(), before + 1);
    return static_cast<uint16_t>(sent_log().back().conn());
  }

  // Sends one request and returns what was sent in reply.
  std::vector<Sent> request(uint16_t cmd, uint16_t conn, uint16_t seq, const Bytes& data = {},
                            int32_t* result = nullptr) {
    size_t before = sent_log().size();
    int32_t r = handle(packet(cmd, conn, seq, data));
    if (result) *result = r;
    return std::vector<Sent>(sent_log().begin() + static_cast<long>(before), sent_log().end());
  }

  // One reply expected: returns it.
  Sent reply(uint16_t cmd, uint16_t conn, uint16_t seq, const Bytes& data = {}) {
    auto out = request(cmd, conn, seq, data);
    EXPECT_EQ(out.size(), 1u) << "command " << cmd;
    return out.empty() ? Sent{} : out.back();
  }

  // 1500 with the size, then the data in 1,024-byte chunks; seq moves on.
  void transfer(uint16_t conn, uint16_t& seq, const Bytes& data) {
    ASSERT_EQ(reply(1500, conn, seq++, u32s({static_cast<uint32_t>(data.size())})).code(), 2000u);
    for (size_t at = 0; at < data.size(); at += 1024) {
      Bytes chunk(data.begin() + static_cast<long>(at),
                  data.begin() + static_cast<long>(std::min(data.size(), at + 1024)));
      ASSERT_EQ(reply(1501, conn, seq++, chunk).code(), 2000u) << "chunk at " << at;
    }
  }

  Bytes flash_bytes(uint32_t offset, size_t n) const {
    return Bytes(board.flash.data() + offset, board.flash.data() + offset + n);
  }

  sim::SimBoard board;
  alignas(4) uint8_t frame_[2048];
};

}  // namespace ptest
