// The simulated terminal's flash model and OS timer, driven directly by
// command cycles and accesses (independently of the loader's flash store).
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "sim/devices/flash_model.h"
#include "sim/devices/os_timer.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ManualClock : sim::Clock {
  uint64_t ticks() const override { return now; }
  uint64_t now = 0;
};

class Flash : public ::testing::Test {
 protected:
  explicit Flash(uint16_t id = 0x22C4) : flash(id, &clock) {}
  void cycle(uint32_t word, uint16_t v) { flash.write16(2 * word, v); }
  void unlock() {
    cycle(flash.part().unlock1, 0xAA);
    cycle(flash.part().unlock2, 0x55);
  }
  void program(uint32_t offset, uint16_t v) {
    unlock();
    cycle(flash.part().unlock1, 0xA0);
    flash.write16(offset, v);
  }
  void erase(uint32_t offset) {
    unlock();
    cycle(flash.part().unlock1, 0x80);
    unlock();
    flash.write16(offset, 0x30);
  }
  void settle() { clock.now += 10'000'000; }
  ManualClock clock;
  sim::FlashModel flash;
};

TEST_F(Flash, ReadsIdOnlyAfterTheRightUnlockCycles) {
  unlock();
  cycle(0x555, 0x90);
  EXPECT_EQ(flash.read16(2), 0x22C4);
  EXPECT_EQ(flash.read16(0), 0x0001);
  EXPECT_FALSE(flash.in_read_mode());
  cycle(0, 0xF0);
  EXPECT_EQ(flash.read16(2), 0xFFFF);
  // The other part's unlock addresses are unexpected cycles.
  cycle(0x5555, 0xAA);
  cycle(0x2AAA, 0x55);
  cycle(0x5555, 0x90);
  EXPECT_EQ(flash.read16(2), 0xFFFF);
  EXPECT_EQ(flash.counters().unexpected, 3u);
  EXPECT_EQ(flash.counters().id_reads, 1u);
}

TEST_F(Flash, ProgramClearsBitsOnlyAndIsBusyForAWhile) {
  program(0x100, 0x1234);
  EXPECT_TRUE(flash.busy());
  uint16_t s1 = flash.read16(0x100), s2 = flash.read16(0x100);
  EXPECT_NE(s1, 0x1234);
  EXPECT_NE(s1 & 0x40, s2 & 0x40);  // DQ6 toggles while busy
  EXPECT_EQ(s1 & 0x80, ~0x1234 & 0x80);
  settle();
  EXPECT_EQ(flash.read16(0x100), 0x1234);
  program(0x100, 0xFF00);  // tries to set bits: only clearing takes effect
  settle();
  EXPECT_EQ(flash.read16(0x100), 0x1200);
  EXPECT_EQ(flash.counters().set_bit_attempts, 1u);
  EXPECT_EQ(flash.programs_at().at(0x100), 2u);
}

// A power cut at the n-th operation: that operation is left half done, and the
// part ignores the bus until power returns.
TEST_F(Flash, PowerCutLeavesAHalfProgrammedWordOrAHalfErasedBlock) {
  for (uint32_t i = 0; i < 0x10000; i += 2) flash.set_contents(i, {0x5A, 0xA5});
  flash.cut_power_at(2);
  program(0x100, 0x1234);  // operation 1: done
  settle();
  program(0x200, 0x1234);  // operation 2: the cut
  EXPECT_TRUE(flash.power_lost());
  EXPECT_EQ(flash.peek16(0x200), (0xA55A & 0xFF34)) << "only the low byte programmed";
  erase(0x0);  // ignored: no power
  program(0x300, 0);
  EXPECT_EQ(flash.peek16(0x300), 0xA55A);
  EXPECT_EQ(flash.operations(), 2u);
  flash.power_on();
  EXPECT_FALSE(flash.power_lost());
  EXPECT_EQ(flash.read16(0x100), 0xA55A & 0x1234) << "operation 1 completed";

  flash.cut_power_at(1);
  erase(0x10);  // 64 KB block at 0: its first 32 KB erased, the rest kept
  EXPECT_TRUE(flash.power_lost());
  EXPECT_EQ(flash.peek16(0x0), 0xFFFF);
  EXPECT_EQ(flash.peek16(0x7FFE), 0xFFFF);
  EXPECT_EQ(flash.peek16(0x8000), 0xA55A);
  EXPECT_EQ(flash.peek16(0xFFFE), 0xA55A);
}

TEST_F(Flash, AnUnexpectedCycleAbandonsTheSequence) {
  unlock();
  cycle(0x123, 0xA0);  // wrong address for the command cycle
  flash.write16(0x200, 0x0000);
  settle();
  EXPECT_EQ(flash.read16(0x200), 0xFFFF);
  EXPECT_EQ(flash.counters().programs, 0u);
  cycle(0x555, 0xAA);
  cycle(0x2AA, 0x54);  // wrong data
  EXPECT_TRUE(flash.in_read_mode());
  EXPECT_EQ(flash.counters().unexpected, 2u + 1u);  // the stray data write counts too
}

TEST_F(Flash, WritesWhileBusyAreIgnored) {
  erase(0);
  program(0x10, 0x0000);  // during the erase
  settle();
  EXPECT_EQ(flash.read16(0x10), 0xFFFF);
  EXPECT_EQ(flash.counters().programs, 0u);
}

struct EraseCase {
  uint16_t id;
  uint32_t at;                 // address inside the block
  uint32_t start, size;        // the block erased
};
void PrintTo(const EraseCase& c, std::ostream* os) {
  *os << "device ID 0x" << std::hex << c.id << " at 0x" << c.at;
}

class FlashErase : public ::testing::TestWithParam<EraseCase> {};

TEST_P(FlashErase, ErasesTheBlockHoldingTheAddress) {
  const EraseCase& c = GetParam();
  sim::FlashModel f(c.id);
  f.fill(0x00);
  auto cyc = [&](uint32_t w, uint16_t v) { f.write16(2 * w, v); };
  const uint32_t u1 = f.part().unlock1, u2 = f.part().unlock2;
  cyc(u1, 0xAA); cyc(u2, 0x55); cyc(u1, 0x80); cyc(u1, 0xAA); cyc(u2, 0x55);
  f.write16(c.at, 0x30);
  EXPECT_EQ(f.erases_at().begin()->first, c.start);
  if (c.start) EXPECT_EQ(f.data()[c.start - 1], 0x00);
  for (uint32_t o = c.start; o < c.start + c.size; o += 0x100) ASSERT_EQ(f.data()[o], 0xFF) << o;
  EXPECT_EQ(f.data()[c.start + c.size - 1], 0xFF);
  if (c.start + c.size < sim::FlashModel::kSize) EXPECT_EQ(f.data()[c.start + c.size], 0x00);
}

INSTANTIATE_TEST_SUITE_P(
    Parts, FlashErase,
    ::testing::Values(EraseCase{0x22C4, 0x12345, 0x10000, 0x10000},
                      EraseCase{0x22C4, 0x1FA000, 0x1FA000, 0x2000},
                      EraseCase{0x22C4, 0x1FFFFE, 0x1FC000, 0x4000},
                      EraseCase{0x2249, 0x0, 0x0, 0x4000}, EraseCase{0x2249, 0x7FFE, 0x6000, 0x2000},
                      EraseCase{0x2249, 0x8000, 0x8000, 0x8000},
                      EraseCase{0x2782, 0x10FFE, 0x10000, 0x1000},
                      EraseCase{0x2782, 0x6000, 0x6000, 0x1000}));

TEST_F(Flash, FailsOnRequestUntilResetThenWorksAgain) {
  flash.fail_program(0x40, 1);
  program(0x40, 0x0F0F);
  settle();
  uint16_t s = flash.read16(0x40);
  EXPECT_NE(s, 0x0F0F);
  EXPECT_TRUE(s & 0x20);  // DQ5: exceeded its time
  program(0x40, 0x0F0F);  // ignored: only a reset leaves the failed state
  EXPECT_EQ(flash.counters().programs, 1u);
  cycle(0, 0xF0);
  EXPECT_EQ(flash.read16(0x40), 0xFFFF);
  program(0x40, 0x0F0F);
  settle();
  EXPECT_EQ(flash.read16(0x40), 0x0F0F);
  EXPECT_EQ(flash.counters().failed, 1u);

  flash.set_contents(0x20000, Bytes(16, 0));
  flash.fail_erase(0x20010, -1);  // any address of the block names it
  for (int i = 0; i < 3; ++i) {
    erase(0x20000);
    settle();
    EXPECT_NE(flash.read16(0x20000), 0xFFFF);
    cycle(0, 0xF0);
  }
  EXPECT_EQ(flash.read16(0x20000), 0x0000);  // never erased
  EXPECT_EQ(flash.erases_at().at(0x20000), 3u);
  flash.clear_failures();
  erase(0x20000);
  settle();
  EXPECT_EQ(flash.read16(0x20000), 0xFFFF);
}

TEST_F(Flash, ChipErase) {
  flash.fill(0);
  unlock();
  cycle(0x555, 0x80);
  unlock();
  cycle(0x555, 0x10);
  settle();
  EXPECT_EQ(flash.read16(0), 0xFFFF);
  EXPECT_EQ(flash.read16(sim::FlashModel::kSize - 2), 0xFFFF);
  EXPECT_EQ(flash.counters().chip_erases, 1u);
}

TEST(FlashFile, SavesAndLoadsItsContents) {
  char dir[] = "/tmp/flash_model_testXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/flash.bin";
  sim::FlashModel a;
  EXPECT_FALSE(a.load(path));  // no file yet: blank
  EXPECT_EQ(a.peek16(0), 0xFFFF);
  a.set_contents(0x1FFFF0, Bytes{1, 2, 3, 4});
  std::vector<std::pair<uint32_t, uint32_t>> changes;
  a.on_change = [&](uint32_t o, uint32_t n) { changes.push_back({o, n}); };
  a.set_contents(0x100, Bytes{9});
  EXPECT_EQ(changes, (std::vector<std::pair<uint32_t, uint32_t>>{{0x100, 1}}));
  ASSERT_TRUE(a.save(path));
  sim::FlashModel b(0x2249);
  ASSERT_TRUE(b.load(path));
  EXPECT_EQ(Bytes(b.data(), b.data() + sim::FlashModel::kSize), Bytes(a.data(), a.data() + sim::FlashModel::kSize));
  // A short file loads what it has; the rest is blank.
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fputs("AB", f);
  std::fclose(f);
  ASSERT_TRUE(b.load(path));
  EXPECT_EQ(b.peek16(0), 'A' | ('B' << 8));
  EXPECT_EQ(b.peek16(0x1FFFF0), 0xFFFF);
  std::remove(path.c_str());
  rmdir(dir);
}

TEST(OsTimer, VirtualTimeMovesByTheStepAndOnRequest) {
  sim::OsTimer t(sim::OsTimer::Mode::Virtual, 10);
  EXPECT_EQ(t.read32(sim::OsTimer::OSCR), 10u);
  EXPECT_EQ(t.read32(sim::OsTimer::OSCR), 20u);
  EXPECT_EQ(t.ticks(), 20u);  // the Clock view does not move it
  t.advance_us(1000);
  EXPECT_EQ(t.ticks(), 20u + 3686u);
  t.write32(sim::OsTimer::OSCR, 5);  // continues from the value written
  EXPECT_EQ(t.read32(sim::OsTimer::OSCR), 15u);
  t.write32(sim::OsTimer::OSMR0, 77);
  EXPECT_EQ(t.read32(sim::OsTimer::OSMR0), 77u);
}

TEST(OsTimer, RealTimeFollowsTheSteadyClock) {
  sim::OsTimer t(sim::OsTimer::Mode::RealTime);
  uint32_t a = t.read32(sim::OsTimer::OSCR);
  usleep(20000);
  uint32_t b = t.read32(sim::OsTimer::OSCR);
  EXPECT_GE(b - a, 3686u * 19);  // at least 19 ms of 3.6864 MHz ticks
  EXPECT_LT(b - a, 3686u * 2000);
}

}  // namespace
