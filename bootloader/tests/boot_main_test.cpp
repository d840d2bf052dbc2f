// The main routine's device start-up and main loop on the simulated bus: clock,
// GPIO79 and PSSR, port order, the start-up panel frames with and without a
// network, and what the loop then serves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/devices/recorder.h"
#include "bootloader/loader_state.h"
#include "bootloader/main.h"
#include "bootloader/tests/net_serial_fixture.h"
#include "bootloader/serial/serial.h"

namespace {

using nettest::Bytes;

// Which port opened when, through the operation tables.
std::vector<std::string> g_opened;
bl::PortOps g_real_panel, g_real_command;
int32_t panel_open_spy(int32_t baud) {
  g_opened.push_back("panel " + std::to_string(baud));
  return g_real_panel.open(baud);
}
int32_t command_open_spy(int32_t baud) {
  g_opened.push_back("command " + std::to_string(baud));
  return g_real_command.open(baud);
}

class BootMain : public ::testing::Test {
 protected:
  void start(bool with_ethernet) {
    board_ = std::make_unique<nettest::TestBoard>(with_ethernet);
    board_->gpio.preset(sim::gpio::GAFR2_L, 0x40000005);  // bit 30 set, others kept
    board_->sim.install();
    g_real_panel = bl::g_data.panel_port;
    g_real_command = bl::g_data.command_port;
    bl::g_data.panel_port.open = panel_open_spy;
    bl::g_data.command_port.open = command_open_spy;
    g_opened.clear();
    bl::start_devices();
  }
  void TearDown() override {
    if (board_) {
      bl::g_data.panel_port = g_real_panel;
      bl::g_data.command_port = g_real_command;
    }
    bl::hw::set_board(nullptr);
  }
  // The panel frame the loader sends for (command, byte), made by the same
  // routine on the same port.
  Bytes panel_frame(uint8_t command, uint8_t byte) {
    bl::send_panel_frame(command, &byte, 1, 0);
    return board_->btuart.take_tx();
  }
  std::unique_ptr<nettest::TestBoard> board_;
};

TEST_F(BootMain, SetsClockChipSelectAndPortsInOrder) {
  start(true);
  auto& b = *board_;
  EXPECT_EQ(b.clocks.value(sim::clocks::CCCR), 0x161u) << "400 MHz";
  EXPECT_EQ(board_->memctl.value(sim::memctl::MDREFR), 0x0001C030u);
  EXPECT_EQ(b.gpio.value(sim::gpio::GAFR2_L), 0x80000005u) << "GPIO79 alternate function 2";
  ASSERT_FALSE(b.gpio.writes_to(sim::gpio::GPDR2).empty());
  EXPECT_EQ(b.gpio.writes_to(sim::gpio::GPDR2).front().value, 0x00008000u) << "plain store first";
  EXPECT_EQ(b.power.value(sim::power::PSSR), 0x20u);
  EXPECT_EQ(g_opened, (std::vector<std::string>{"panel 115200", "command 115200"}));
  ASSERT_NE(bl::g_state.geometry, nullptr) << "flash identified";
}

TEST_F(BootMain, StartUpPanelFramesDependOnTheNetwork) {
  for (bool ethernet : {true, false}) {
    start(ethernet);
    Bytes sent = board_->btuart.take_tx();
    Bytes three = panel_frame(3, 10), twenty_three = panel_frame(23, 1);
    Bytes expect = three;
    if (ethernet) nettest::append(expect, three);
    nettest::append(expect, twenty_three);
    EXPECT_EQ(bl::g_state.net_present, ethernet ? 1u : 0u);
    EXPECT_EQ(sent, expect) << (ethernet ? "with" : "without") << " network";
    EXPECT_TRUE(board_->ffuart.take_tx().empty()) << "nothing on the command port";
    TearDown();
  }
}

TEST_F(BootMain, ClockSetUpValues) {
  start(false);
  for (auto [mhz, cccr] : {std::pair{400, 0x161u}, {200, 0x141u}, {100, 0x121u}, {0, 0x121u}}) {
    board_->clocks.clear_log();
    board_->memctl.clear_log();
    bl::clock_setup(mhz);
    EXPECT_EQ(board_->clocks.value(sim::clocks::CCCR), cccr) << mhz;
    EXPECT_EQ(board_->memctl.writes_to(sim::memctl::MDREFR).size(), 1u);
  }
}

// Without a network the loop never touches the Ethernet controller; with one it
// polls it on every pass.
TEST_F(BootMain, MainLoopServesTheNetworkOnlyWhenPresent) {
  start(false);
  board_->sim.clear_unmapped();
  for (int i = 0; i < 20; ++i) bl::main_loop_step();
  for (const auto& a : board_->sim.unmapped())
    EXPECT_FALSE(a.addr >= 0x0C000000u && a.addr < 0x0C000008u) << "Ethernet touched";
  EXPECT_GT(board_->ffuart.lsr_reads(), 0u) << "command port polled";
  TearDown();

  start(true);
  uint64_t before = board_->ffuart.lsr_reads();
  for (int i = 0; i < 20; ++i) bl::main_loop_step();
  EXPECT_GE(board_->ffuart.lsr_reads() - before, 20u);
}

}  // namespace
