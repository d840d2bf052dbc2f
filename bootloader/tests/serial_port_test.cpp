// The two UARTs' operation tables and the panel frames, against the UART model
// and the GPIO/clock recorders.
#include <gtest/gtest.h>

#include "bootloader/tests/net_serial_fixture.h"
#include "bootloader/serial/serial.h"

using namespace nettest;

namespace {

class SerialPortTest : public BoardTest {
 protected:
  const bl::PortOps& cmd = bl::g_data.command_port;
  const bl::PortOps& panel = bl::g_data.panel_port;
  void panel_open_and_clear() {
    panel.open(115200);
    board.btuart.take_tx();
  }
};

TEST_F(SerialPortTest, OpenSetsPinsClockLineAndDivisor) {
  board.gpio.preset(sim::gpio::GPDR1, 0xFFFFFFFF);
  board.gpio.preset(sim::gpio::GAFR1_L, 0x0000FFFF);
  // Panel first, then command port, as the main routine does.
  EXPECT_EQ(panel.open(115200), 0);
  uint32_t gpdr_after_panel = board.gpio.value(sim::gpio::GPDR1);
  EXPECT_EQ(gpdr_after_panel, 0xFFFFFFFF & ~((1u << 4) | (1u << 7) | (1u << 8)));
  EXPECT_EQ(cmd.open(115200), 0);
  EXPECT_EQ(board.gpio.value(sim::gpio::GPDR1), (gpdr_after_panel & ~(1u << 2)) | (1u << 7))
      << "GPIO39 out again, GPIO34 in";
  EXPECT_EQ(board.gpio.value(sim::gpio::GAFR1_L), ((((0x0000FFFFu | 0x900000) & ~0x600000u)) | 0x8010) & ~0x4020u);
  EXPECT_EQ(board.clocks.value(sim::clocks::CKEN), (1u << 6) | (1u << 7));
  struct Port { const char* name; sim::Uart& u; uint32_t fcr; };
  for (const Port& p : {Port{"command", board.ffuart, 0xC1}, Port{"panel", board.btuart, 0x01}}) {
    SCOPED_TRACE(p.name);
    EXPECT_EQ(p.u.divisor(), 8u);
    EXPECT_EQ(p.u.lcr(), 3u) << "8N1, divisor latch closed again";
    EXPECT_EQ(p.u.mcr(), 3u);
    EXPECT_EQ(p.u.fcr(), p.fcr);
    EXPECT_EQ(p.u.ier(), 0x40u);
  }
  cmd.open(9600);
  EXPECT_EQ(board.ffuart.divisor(), 96u);
}

TEST_F(SerialPortTest, ReadStatusAndDrain) {
  cmd.open(115200);
  EXPECT_EQ(cmd.rx_status(), 0);
  board.ffuart.push_rx({0x41, 0x42, 0x43});
  EXPECT_EQ(cmd.rx_status(), 1);
  EXPECT_EQ(cmd.read_byte(), 0x41);
  board.ffuart.inject_error(0x08);  // framing error
  EXPECT_EQ(cmd.rx_status(), -1);
  EXPECT_EQ(cmd.rx_status(), 1) << "the error clears when LSR is read";
  board.ffuart.inject_error(0x10);
  EXPECT_EQ(cmd.drain(), -1) << "drain stops at the error";
  EXPECT_EQ(board.ffuart.rx_pending(), 2u);
  EXPECT_EQ(cmd.drain(), 0);
  EXPECT_EQ(board.ffuart.rx_pending(), 0u);
}

TEST_F(SerialPortTest, WriteGivesUpAfterItsPollLimit) {
  cmd.open(115200);
  panel.open(115200);
  cmd.write_byte(0x55);
  EXPECT_EQ(board.ffuart.take_tx(), Bytes{0x55});
  struct Case { const char* name; const bl::PortOps& port; sim::Uart& u; uint64_t polls; };
  for (const Case& c : {Case{"command", cmd, board.ffuart, 100001},
                        Case{"panel", panel, board.btuart, 10001}}) {
    c.u.set_tx_blocked(true);
    uint64_t before = c.u.lsr_reads();
    EXPECT_EQ(c.port.write_byte(0x66), 0);
    EXPECT_EQ(c.u.lsr_reads() - before, c.polls) << c.name;
    EXPECT_EQ(c.u.lost_writes(), 0u) << c.name << ": nothing was written";
    c.u.set_tx_blocked(false);
    EXPECT_TRUE(c.u.take_tx().empty());
  }
}

struct PanelCase {
  uint8_t command;
  size_t data_len;
  size_t frame_len;
  size_t placed;
};

TEST_F(SerialPortTest, PanelFramesTable) {
  panel_open_and_clear();
  const PanelCase cases[] = {{3, 1, 22, 1},   {23, 1, 22, 1},  {7, 0, 22, 0}, {9, 17, 22, 17},
                             {9, 20, 22, 17}, {9, 22, 22, 17}, {9, 23, 38, 23},
                             {9, 33, 38, 33}, {9, 40, 38, 33}};
  for (const PanelCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "command " << int(c.command) << ", " << c.data_len << " bytes");
    Bytes data(c.data_len);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xF0 + i);
    bl::send_panel_frame(c.command, data.data(), data.size(), 0);
    Bytes f = board.btuart.take_tx();
    ASSERT_EQ(f.size(), c.frame_len);
    EXPECT_EQ(f[0], 0x53);
    EXPECT_EQ(f[1], 0x53);
    EXPECT_EQ(f[2], c.command);
    EXPECT_EQ(f[3], 0xFF - c.command);
    uint8_t sum = 0;
    for (size_t i = 0; i < c.placed; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    EXPECT_EQ(Bytes(f.begin() + 4, f.begin() + 4 + c.placed), Bytes(data.begin(), data.begin() + c.placed));
    EXPECT_EQ(Bytes(f.begin() + 4 + c.placed, f.end() - 1), Bytes(c.frame_len - 5 - c.placed, 0));
    EXPECT_EQ(f.back(), sum);
  }
}

TEST_F(SerialPortTest, PanelFrameExactBytesAndPause) {
  panel_open_and_clear();
  uint8_t ten = 10;
  double t0 = board.ms();
  bl::send_panel_frame(3, &ten, 1, 10);
  double took = board.ms() - t0;
  Bytes expect = {0x53, 0x53, 0x03, 0xFC, 0x0A};
  expect.resize(21, 0);
  expect.push_back(0x0A);
  EXPECT_EQ(board.btuart.take_tx(), expect);
  EXPECT_GE(took, 9.9);
  EXPECT_LT(took, 10.5);
  EXPECT_TRUE(board.ffuart.take_tx().empty()) << "panel frames never reach the command port";
}

}  // namespace
