// The board of the network and serial tests: the simulated bus with the DM9000
// and UART models and register recorders. Its OS timer runs in virtual time (a
// fixed step per read), so pauses end at once yet keep their length measurable.
// Command-packet builder with an independent Internet checksum.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/engine/native/sim_board.h"
#include "devices/dm9000.h"
#include "devices/recorder.h"
#include "devices/uart.h"
#include "sim/machine/terminal.h"
#include "hw/host_board.h"
#include "loader_state.h"

namespace nettest {

using Bytes = std::vector<uint8_t>;

// The simulated bus with the network and serial devices attached, its OS timer
// in virtual time.
struct TestBoard : sim::TerminalDevices {
  // The recorders keep only the timer's address until they log.
  explicit TestBoard(bool with_ethernet = true) : TerminalDevices(&sim.timer) {
    attach_to(sim, with_ethernet);
  }
  double ms() const { return sim.timer.elapsed_ms(); }

  sim::SimBoard sim;
};

// Installs the board and fresh loader state for every test.
class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override { board.sim.install(); }
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
