// The native engine's board: the bus behind the loader's hardware-access layer.
#include <gtest/gtest.h>

#include "bootloader/hw/host_board.h"
#include "sim/engine/native/sim_board.h"

namespace {

TEST(SimBoard, AFaultIsARestartAndAJumpLeavesTheLoader) {
  sim::SimBoard b(0x2249);
  uint8_t buf[1];
  try {
    static_cast<bl::hw::Board&>(b).mem_read(0xA0800000u, buf, 1);
    FAIL();
  } catch (const bl::hw::LeaveLoader& l) {
    EXPECT_EQ(l.kind, bl::hw::LeaveLoader::Restart);
  }
  try {
    b.jump(0xA0001000u);
    FAIL();
  } catch (const bl::hw::LeaveLoader& l) {
    EXPECT_EQ(l.kind, bl::hw::LeaveLoader::Jump);
    EXPECT_EQ(l.addr, 0xA0001000u);
  }
  EXPECT_EQ(b.last_jump(), 0xA0001000u);
}

}  // namespace
