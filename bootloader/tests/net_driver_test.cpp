// The DM9000 driver: start-up sequence, receive with its recovery rules, and
// the transmit path, against the controller model.
#include <gtest/gtest.h>

#include "bootloader/net/net.h"
#include "bootloader/tests/net_frames.h"

using namespace nettest;

namespace {

using Dm = sim::Dm9000;

class NetDriverTest : public BoardTest {};

TEST_F(NetDriverTest, StartPulsesTheResetLineAndProgramsTheController) {
  ASSERT_EQ(bl::net_start(), 1);
  EXPECT_TRUE(bl::net_address_check());
  EXPECT_TRUE(board.gpio.value(sim::gpio::GPDR1) & (1u << 30)) << "GPIO62 is an output";
  auto high = board.gpio.writes_to(sim::gpio::GPSR1);
  auto low = board.gpio.writes_to(sim::gpio::GPCR1);
  ASSERT_EQ(high.size(), 1u);
  ASSERT_EQ(low.size(), 1u);
  EXPECT_EQ(high[0].value, 1u << 30);
  EXPECT_EQ(low[0].value, 1u << 30);
  double pulse_ms = (low[0].ticks - high[0].ticks) / 3686.4;
  EXPECT_GE(pulse_ms, 9.9);  // 3,768/1,024 ticks per µs: a pause runs 0.03 % short
  EXPECT_LT(pulse_ms, 10.5);
  EXPECT_GE(board.ms(), 109.9) << "10 ms high, 100 ms low before the controller reset";
  EXPECT_EQ(board.eth.resets(), 1u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(board.eth.reg(Dm::PAR + i), kLoaderMac[i]);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(board.eth.reg(Dm::MAR + i), 0xFF);
  EXPECT_EQ(board.eth.reg(Dm::GPCR), 1);
  EXPECT_EQ(board.eth.reg(Dm::GPR), 0);
  EXPECT_EQ(board.eth.reg(Dm::IMR), 0x80);
  EXPECT_EQ(board.eth.reg(Dm::RCR), 0x31);
  EXPECT_EQ(board.eth.par_writes(), 6u) << "one attempt when the address reads back";
}

TEST_F(NetDriverTest, StartFailsWhenTheTransmitRequestNeverClears) {
  board.eth.set_tx_stuck(true);
  EXPECT_EQ(bl::net_start(), 0);
  EXPECT_EQ(board.eth.par_writes(), 0u);
  EXPECT_EQ(board.eth.reg(Dm::RCR), 0) << "receiver stays off";
}

TEST_F(NetDriverTest, AddressProgrammingGivesUpAfter100AttemptsAndCarriesOn) {
  board.eth.set_par_broken(true);
  EXPECT_EQ(bl::net_start(), 1);
  EXPECT_EQ(board.eth.par_writes(), 600u);
  EXPECT_FALSE(bl::net_address_check());
  EXPECT_EQ(board.eth.reg(Dm::RCR), 0x31);
}

TEST_F(NetDriverTest, NoControllerMeansNoAddress) {
  TestBoard empty(false);  // nothing answers at the controller's address
  empty.sim.install();
  bl::net_start();
  EXPECT_FALSE(bl::net_address_check());
}

class NetServeTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    ASSERT_EQ(bl::net_start(), 1);
  }
  Bytes ping() { return ip_frame(1, icmp_echo({1, 2, 3})); }
  size_t served(const Bytes& f, uint16_t status = 0x0001) {
    board.eth.sent().clear();
    EXPECT_TRUE(board.eth.receive(f, status));
    bl::serve_network();
    return board.eth.sent().size();
  }
};

TEST_F(NetServeTest, NothingWaitingDoesNothing) {
  bl::serve_network();
  EXPECT_TRUE(board.eth.sent().empty());
  EXPECT_EQ(board.eth.resets(), 1u);
}

TEST_F(NetServeTest, ADesynchronisedPointerRestartsTheController) {
  board.eth.receive(ping());
  board.eth.desynchronise(0x5A);
  bl::serve_network();
  EXPECT_EQ(board.eth.resets(), 2u);
  EXPECT_TRUE(board.eth.sent().empty()) << "nothing is received";
  EXPECT_EQ(board.eth.reg(Dm::RCR), 0x31) << "receiving again after the restart";
  EXPECT_TRUE(bl::net_address_check());
  EXPECT_EQ(served(ping()), 1u);
}

TEST_F(NetServeTest, AnOverLongLengthRestartsTheController) {
  board.eth.receive_raw(Bytes(1540, 0), 0x0001, 1537);
  bl::serve_network();
  EXPECT_EQ(board.eth.resets(), 2u);
  EXPECT_EQ(served(ping()), 1u);
}

TEST_F(NetServeTest, BadOrShortFramesAreDrainedAndTheNextIsServed) {
  struct Case { const char* what; uint16_t status; uint16_t length; };
  const Case cases[] = {
      {"CRC error", 0x0201, 64}, {"runt", 0x2001, 64},   {"FIFO overflow", 0x0101, 64},
      {"under 64 bytes", 0x0001, 63}, {"length 0", 0x0001, 0},
  };
  for (const Case& c : cases) {
    Bytes f = ping();
    f.resize(c.length, 0);
    board.eth.receive_raw(f, c.status, c.length);
    board.eth.receive(ping());
    board.eth.sent().clear();
    bl::serve_network();
    EXPECT_TRUE(board.eth.sent().empty()) << c.what;
    EXPECT_EQ(board.eth.rx_pending(), 1u) << c.what << ": exactly the bad frame was taken";
    bl::serve_network();
    EXPECT_EQ(board.eth.sent().size(), 1u) << c.what;
  }
  EXPECT_EQ(board.eth.resets(), 1u);
  // The multicast bit (0x4000) of the status is no error.
  EXPECT_EQ(served(ping(), 0x4001), 1u);
}

TEST_F(NetServeTest, UnknownEtherTypesAreIgnored) {
  EXPECT_EQ(served(ether(kLoaderMac, 0x86DD, Bytes(60, 0x11))), 0u);
}

TEST_F(NetServeTest, LargestFrameTheControllerAcceptsIsServed) {
  // 1,536 bytes as the controller counts them (FCS included) is the limit.
  Bytes msg = icmp_echo(Bytes(1536 - 4 - 14 - 20 - 8, 0x77));
  ASSERT_EQ(served(ip_frame(1, msg)), 1u);
  EXPECT_EQ(board.eth.sent()[0].size(), 34 + msg.size());
  EXPECT_EQ(board.eth.resets(), 1u);
}

}  // namespace
