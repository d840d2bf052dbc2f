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
#include "sim/devices/dm9000.h"
#include "sim/devices/recorder.h"
#include "sim/devices/uart.h"
#include "sim/machine/terminal.h"
#include "bootloader/hw/host_board.h"
#include "bootloader/loader_state.h"
#include "testing/reference.h"

namespace nettest {

using qtest::Bytes;

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

// The independent reference of the packet checksum.
inline uint16_t inet_sum(const uint8_t* p, size_t n) { return qtest::ref_checksum(p, n); }

inline uint32_t be16(const Bytes& b, size_t at) { return (b[at] << 8) | b[at + 1]; }
using qtest::le16;
using qtest::put_le16;
inline void put_be16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
inline void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// A command packet: header (command, checksum, connection id, sequence) + data.
inline Bytes command(uint16_t cmd, uint16_t conn, uint16_t seq, const Bytes& data = {}) {
  return qtest::packet(cmd, conn, seq, data);
}

}  // namespace nettest
