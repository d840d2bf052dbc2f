// The DM9000, UART and recorder models on their own, through their registers.
#include <gtest/gtest.h>

#include "sim/devices/dm9000.h"
#include "sim/devices/recorder.h"
#include "sim/devices/uart.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::Dm9000;

struct Dm : Dm9000 {
  void w(uint8_t reg, uint32_t v) { write32(0, reg); write32(4, v); }
  uint32_t r(uint8_t reg) { write32(0, reg); return read32(4); }
  void up(const Bytes& mac) {
    w(RCR, 0x31);
    for (int i = 0; i < 6; ++i) w(PAR + i, mac[i]);
  }
};

const Bytes kMac = {0x02, 0x51, 0x4D, 0x00, 0x00, 0x01};

Bytes frame_to(const Bytes& dst, size_t n) {
  Bytes f(n, 0);
  for (size_t i = 0; i < n; ++i) f[i] = static_cast<uint8_t>(i);
  std::copy(dst.begin(), dst.end(), f.begin());
  return f;
}

TEST(Dm9000Model, ReceiveMemoryHoldsStatusLengthAndDataWords) {
  Dm dm;
  EXPECT_FALSE(dm.receive(frame_to(kMac, 60))) << "receiver off";
  dm.up(kMac);
  ASSERT_TRUE(dm.receive(frame_to(kMac, 61), 0x4001));
  EXPECT_FALSE(dm.receive(frame_to({0x02, 0, 0, 0, 0, 9}, 60))) << "not our address";
  EXPECT_TRUE(dm.receive(frame_to({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 60)));
  EXPECT_EQ(dm.r(Dm::MRCMDX), 1u);
  EXPECT_EQ(dm.r(Dm::MRCMDX), 1u) << "peeking does not move the pointer";
  dm.write32(0, Dm::MRCMD);
  EXPECT_EQ(dm.read32(4), 0x4001u | (65u << 16)) << "the FCS counts in the length";
  Bytes got;
  for (int i = 0; i < 17; ++i) {
    uint32_t w = dm.read32(4);
    for (int k = 0; k < 4; ++k) got.push_back(static_cast<uint8_t>(w >> (8 * k)));
  }
  got.resize(61);
  EXPECT_EQ(got, frame_to(kMac, 61));
  EXPECT_EQ(dm.rx_pending(), 1u) << "the next frame is up";
  EXPECT_EQ(dm.r(Dm::MRCMDX), 1u);
}

TEST(Dm9000Model, TransmitHandsTheFrameOverAndClearsTheRequest) {
  Dm dm;
  std::vector<Bytes> out;
  dm.on_transmit([&](const Bytes& f) { out.push_back(f); });
  dm.write32(0, Dm::MWCMD);
  for (uint32_t w : {0x04030201u, 0x08070605u}) dm.write32(4, w);
  dm.w(Dm::TXPLL, 6);
  dm.w(Dm::TXPLH, 0);
  dm.w(Dm::TCR, 1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(dm.r(Dm::TCR) & 1, 0u);
  dm.set_tx_stuck(true);
  dm.w(Dm::TCR, 1);
  EXPECT_EQ(dm.r(Dm::TCR) & 1, 1u);
  EXPECT_EQ(out.size(), 1u);
}

TEST(Dm9000Model, ResetClearsDesyncAndReceiveMemory) {
  Dm dm;
  dm.up(kMac);
  dm.receive(frame_to(kMac, 60));
  dm.desynchronise(0x7F);
  EXPECT_EQ(dm.r(Dm::MRCMDX), 0x7Fu);
  dm.w(Dm::NCR, 1);
  EXPECT_EQ(dm.r(Dm::NCR), 0u) << "the reset bit clears itself";
  EXPECT_EQ(dm.r(Dm::MRCMDX), 0u);
  EXPECT_EQ(dm.rx_pending(), 0u);
  EXPECT_EQ(dm.r(Dm::RCR), 0u);
  EXPECT_EQ(dm.resets(), 1u);
  dm.set_par_broken(true);
  dm.w(Dm::PAR, 0x55);
  EXPECT_EQ(dm.r(Dm::PAR), 0u);
}

TEST(Dm9000Model, ReceiveMemoryOverflowsAndLongFramesAreRefused) {
  Dm dm;
  dm.up(kMac);
  EXPECT_FALSE(dm.receive(frame_to(kMac, 1533))) << "above 1,536 with the FCS";
  EXPECT_TRUE(dm.receive(frame_to(kMac, 1532)));
  size_t taken = 1;
  while (dm.receive(frame_to(kMac, 1500))) ++taken;
  EXPECT_EQ(taken, 8u) << "13 KB of receive memory";
}

TEST(UartModel, LineStatusDivisorAndQueues) {
  sim::Uart u;
  u.write32(sim::Uart::THR, 'x');
  EXPECT_EQ(u.lost_writes(), 1u) << "unit not enabled";
  u.write32(sim::Uart::IER, 0x40);
  u.write32(sim::Uart::LCR, 0x83);
  u.write32(sim::Uart::DLL, 8);
  u.write32(sim::Uart::DLH, 0);
  u.write32(sim::Uart::LCR, 0x03);
  EXPECT_EQ(u.divisor(), 8u);
  EXPECT_EQ(u.ier(), 0x40u) << "DLH did not touch IER";
  EXPECT_EQ(u.read32(sim::Uart::LSR), 0x60u);
  u.push_rx({7, 8});
  EXPECT_EQ(u.read32(sim::Uart::LSR) & 1, 1u);
  EXPECT_EQ(u.read32(sim::Uart::RBR), 7u);
  u.inject_error(0x1C | 0x01);
  EXPECT_EQ(u.read32(sim::Uart::LSR), 0x7Du);
  EXPECT_EQ(u.read32(sim::Uart::LSR), 0x61u);
  u.write32(sim::Uart::THR, 'a');
  u.set_tx_blocked(true);
  EXPECT_EQ(u.read32(sim::Uart::LSR) & 0x20, 0u);
  u.write32(sim::Uart::THR, 'b');
  EXPECT_EQ(u.take_tx(), Bytes{'a'});
}

TEST(RecorderModel, KeepsLastValuesAndATimedLog) {
  struct C : sim::Clock {
    uint64_t t = 5;
    uint64_t ticks() const override { return t; }
  } clock;
  sim::Recorder r("gpio", &clock);
  r.preset(0x10, 0xF0);
  EXPECT_EQ(r.read32(0x10), 0xF0u);
  r.write32(0x10, 1);
  clock.t = 9;
  r.write32(0x10, 2);
  r.write32(0x1C, 3);
  EXPECT_EQ(r.value(0x10), 2u);
  ASSERT_EQ(r.writes_to(0x10).size(), 2u);
  EXPECT_EQ(r.writes_to(0x10)[1].ticks, 9u);
  EXPECT_EQ(r.log().size(), 3u);
  EXPECT_FALSE(r.written(0x20));
}

}  // namespace
