// The pause: tick arithmetic, the 32-bit product, and the wrap rule, against a
// board whose OS timer counter follows a script.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bootloader/hw/host_board.h"
#include "bootloader/pause.h"

namespace {

// OSCR starts at `start` and moves by `step` per read; every other access is a
// fault in the pause.
class TimerBoard : public bl::hw::Board {
 public:
  TimerBoard(uint32_t start, uint32_t step) : now_(start), step_(step) {}
  uint32_t oscr() override {
    uint32_t v = now_;
    reads.push_back(v);
    now_ += step_;
    return v;
  }
  uint32_t read32(uint32_t) override { return fail(); }
  void write32(uint32_t, uint32_t) override { fail(); }
  uint16_t flash_read16(uint32_t) override { return uint16_t(fail()); }
  void flash_write16(uint32_t, uint16_t) override { fail(); }
  void mem_read(uint32_t, void*, uint32_t) override { fail(); }
  void mem_write(uint32_t, const void*, uint32_t) override { fail(); }
  void jump(uint32_t a) override { throw bl::hw::LeaveLoader{bl::hw::LeaveLoader::Jump, a}; }
  void restart() override { throw bl::hw::LeaveLoader{bl::hw::LeaveLoader::Restart, 0}; }
  std::vector<uint32_t> reads;

 private:
  uint32_t fail() {
    ADD_FAILURE() << "the pause touched something other than OSCR";
    return 0;
  }
  uint32_t now_, step_;
};

struct PauseTest : ::testing::Test {
  void TearDown() override { bl::hw::set_board(nullptr); }
};

TEST_F(PauseTest, EndsAtTheFirstReadPastStartPlusTicks) {
  struct Case {
    uint32_t us, start, step, ticks;
  } cases[] = {
      {0, 1000, 1, 0},
      {1, 1000, 1, 3},          // 3768 / 1024
      {1000, 1000, 1, 3679},    // 1 ms
      {10000, 5, 7, 36796},     // 10 ms
      {150000, 0x10, 100, 551953},
      // The product is 32 bits wide: 2 s is 7,536,000,000 mod 2^32, / 1024.
      {2000000, 1000, 1000, 3165070},
  };
  for (const Case& c : cases) {
    TimerBoard board(c.start, c.step);
    bl::hw::set_board(&board);
    bl::pause_us(c.us);
    ASSERT_GE(board.reads.size(), 2u);
    uint32_t last = board.reads.back();
    EXPECT_GE(last, c.start + c.ticks) << c.us << " µs";
    if (board.reads.size() > 2)  // the loop reads at least once
      EXPECT_LT(last - c.step, c.start + c.ticks) << c.us << " µs: one read too many";
  }
}

TEST_F(PauseTest, EndsWhenTheCounterWraps) {
  // Start shortly before the wrap: the read after the wrap ends the pause.
  TimerBoard board(0xFFFFFF00u, 0x40);
  bl::hw::set_board(&board);
  bl::pause_us(1000);  // 3679 ticks, the end beyond 2^32
  ASSERT_GE(board.reads.size(), 2u);
  EXPECT_LT(board.reads.back(), 0x100u) << "waited up to the wrap";
  for (size_t i = 1; i + 1 < board.reads.size(); ++i)
    EXPECT_GT(board.reads[i], 0xFFFFFF00u) << "no early end before the wrap";

  // A counter that reads the start value again also ends it (on the terminal
  // the 60 spins let the counter move first).
  TimerBoard stuck(500, 0);
  bl::hw::set_board(&stuck);
  bl::pause_us(1000);
  EXPECT_EQ(stuck.reads.size(), 2u);
}

TEST_F(PauseTest, MillisecondsAreThousandMicroseconds) {
  TimerBoard a(0, 3), b(0, 3);
  bl::hw::set_board(&a);
  bl::pause_ms(10);
  bl::hw::set_board(&b);
  bl::pause_us(10000);
  EXPECT_EQ(a.reads, b.reads);
}

}  // namespace
