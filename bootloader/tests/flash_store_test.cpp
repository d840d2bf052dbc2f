// The flash store against the flash model: identification and geometry, the
// erase and program cycles each write issues, retries and failure results.
#include <map>

#include "bootloader/tests/protocol_harness.h"

namespace {
using namespace ptest;

constexpr uint32_t W = bl::kFlashWindow;

class FlashStore : public LoaderTest {
 protected:
  explicit FlashStore(uint16_t id = 0x22C4) : LoaderTest(id) {}
  const bl::FlashGeometry& geo() const { return *bl::g_state.geometry; }
  const sim::FlashModel::Counters& count() const { return board.flash.counters(); }
  int32_t write(uint32_t offset, const Bytes& data) {
    return bl::flash_write(W + offset, data.data(), static_cast<uint32_t>(data.size()));
  }
};

struct PartCase {
  uint16_t id;
  int32_t unlock1, unlock2, parameter_sector, erase_unit;
  std::map<int, int32_t> sizes;  // the sectors that are not 64 KB
  uint32_t parameter_offset;
};
// Test names and logs show the part by its ID.
void PrintTo(const PartCase& c, std::ostream* os) { *os << "device ID 0x" << std::hex << c.id; }

class Identification : public ::testing::TestWithParam<PartCase> {};

TEST_P(Identification, BuildsTheGeometryOfThePart) {
  const PartCase& c = GetParam();
  sim::SimBoard board(c.id);
  board.install();
  bl::flash_identify();
  const bl::FlashGeometry* g = bl::g_state.geometry;
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->usable, 1);
  EXPECT_EQ(g->sector_count, 35);
  EXPECT_EQ(g->nominal_size, 65536);
  EXPECT_EQ(g->unlock1, c.unlock1);
  EXPECT_EQ(g->unlock2, c.unlock2);
  EXPECT_EQ(g->parameter_sector, c.parameter_sector);
  EXPECT_EQ(g->erase_unit, c.erase_unit);
  uint32_t total = 0;
  for (int i = 0; i < g->sector_count; ++i) {
    int32_t want = c.sizes.count(i) ? c.sizes.at(i) : 65536;
    EXPECT_EQ(g->sector_size[i], want) << "sector " << i;
    EXPECT_EQ(bl::sector_start(i), W + total);
    EXPECT_EQ(bl::sector_of(total), i);
    EXPECT_EQ(bl::sector_of(W + total + static_cast<uint32_t>(g->sector_size[i]) - 1), i);
    total += static_cast<uint32_t>(g->sector_size[i]);
  }
  EXPECT_EQ(total, bl::kFlashSize);
  EXPECT_EQ(bl::sector_of(bl::kFlashSize), -2);
  EXPECT_EQ(bl::sector_of(W + bl::kFlashSize), -2);
  EXPECT_EQ(bl::sector_start(g->parameter_sector), W + c.parameter_offset);
  // The ID read leaves the part in read mode, after the 100 ms pause.
  EXPECT_TRUE(board.flash.in_read_mode());
  EXPECT_GE(board.timer.elapsed_ms(), 99.8);  // 3.68 ticks per µs of a 3.6864 MHz counter
  EXPECT_EQ(board.flash.counters().unexpected, c.id == 0x2782 ? 3u : 0u);  // the first try at 0x555/0x2AA
  bl::hw::set_board(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    KnownParts, Identification,
    ::testing::Values(
        PartCase{0x22C4, 0x555, 0x2AA, 33, 65536, {{31, 32768}, {32, 8192}, {33, 8192}, {34, 16384}}, 0x1FA000},
        PartCase{0x2249, 0x555, 0x2AA, 2, 65536, {{0, 16384}, {1, 8192}, {2, 8192}, {3, 32768}}, 0x6000},
        PartCase{0x2782, 0x5555, 0x2AAA, 2, 4096, {{0, 16384}, {1, 8192}, {2, 8192}, {3, 32768}}, 0x6000}),
    [](const auto& info) { return "id" + std::to_string(info.param.id); });

TEST_F(FlashStore, EqualDataIssuesNoCycle) {
  board.flash.set_contents(0x30000, pattern(70000, 1));
  board.flash.clear_counters();
  EXPECT_EQ(write(0x30000, pattern(70000, 1)), 1);
  EXPECT_EQ(count().writes, 0u);
  EXPECT_EQ(count().erases + count().programs, 0u);
}

TEST_F(FlashStore, BlankTargetIsProgrammedWithoutErasing) {
  // 3 bytes at 0x2001: the halfwords at 0x2000 and 0x2002 only; the bytes
  // around them keep their values.
  board.flash.set_contents(0x2000, {0x5A});
  board.flash.set_contents(0x2004, {0xA5});
  board.flash.clear_counters();
  EXPECT_EQ(write(0x2001, {1, 2, 3}), 1);
  EXPECT_EQ(count().erases, 0u);
  EXPECT_EQ(board.flash.programs_at(), (std::map<uint32_t, uint64_t>{{0x2000, 1}, {0x2002, 1}}));
  EXPECT_EQ(flash_bytes(0x2000, 6), (Bytes{0x5A, 1, 2, 3, 0xA5, 0xFF}));
}

TEST_F(FlashStore, ChangedByteErasesAndReprogramsTheWholeSector) {
  Bytes old = pattern(65536, 7);
  board.flash.set_contents(0x50000, old);
  board.flash.clear_counters();
  EXPECT_EQ(write(0x51234, {static_cast<uint8_t>(old[0x1234] ^ 0x10)}), 1);
  EXPECT_EQ(board.flash.erases_at(), (std::map<uint32_t, uint64_t>{{0x50000, 1}}));
  EXPECT_EQ(count().programs, 32768u);
  EXPECT_EQ(board.flash.programs_at().size(), 32768u);
  old[0x1234] ^= 0x10;
  EXPECT_EQ(flash_bytes(0x50000, 65536), old);
  EXPECT_EQ(count().set_bit_attempts, 0u);
}

class FlashStore2249 : public FlashStore {
 protected:
  FlashStore2249() : FlashStore(0x2249) {}
};

TEST_F(FlashStore2249, ImageWriteCoversSectorZeroAndPartOfSectorOne) {
  Bytes old = pattern(0x8000, 3);
  board.flash.set_contents(0, old);  // sectors 0 (16 KB), 1 and 2 (8 KB each)
  board.flash.clear_counters();
  Bytes image = pattern(20464, 4);
  EXPECT_EQ(write(0, image), 1);
  EXPECT_EQ(board.flash.erases_at(), (std::map<uint32_t, uint64_t>{{0, 1}, {0x4000, 1}}));
  EXPECT_EQ(count().programs, 8192u + 4096u);
  EXPECT_EQ(flash_bytes(0, 20464), image);
  EXPECT_EQ(flash_bytes(20464, 0x6000 - 20464), Bytes(old.begin() + 20464, old.begin() + 0x6000));
  EXPECT_EQ(flash_bytes(0x6000, 0x2000), Bytes(old.begin() + 0x6000, old.end()));
}

class FlashStore2782 : public FlashStore {
 protected:
  FlashStore2782() : FlashStore(0x2782) {}
};

TEST_F(FlashStore2782, SixtyFourKilobyteSectorTakesSixteenEraseCommands) {
  board.flash.set_contents(0x10000, pattern(65536, 5));
  board.flash.clear_counters();
  Bytes data = pattern(65536, 6);
  EXPECT_EQ(write(0x10000, data), 1);
  std::map<uint32_t, uint64_t> want;
  for (uint32_t u = 0x10000; u < 0x20000; u += 0x1000) want[u] = 1;
  EXPECT_EQ(board.flash.erases_at(), want);
  EXPECT_EQ(flash_bytes(0x10000, 65536), data);
}

TEST_F(FlashStore, WriteAcrossSectorsOfEveryKindMatchesTheData) {
  // From the middle of sector 30 to the end of the part: 64 KB, 32 KB, 8 KB, 8 KB
  // and 16 KB sectors, over old contents with some blank stretches.
  Bytes old = pattern(0x20000, 8);
  std::fill(old.begin() + 0x14000, old.begin() + 0x16000, 0xFF);
  board.flash.set_contents(0x1E0000, old);
  Bytes data = pattern(0x18000, 9);
  EXPECT_EQ(write(0x1E8000, data), 1);
  EXPECT_EQ(flash_bytes(0x1E0000, 0x8000), Bytes(old.begin(), old.begin() + 0x8000));
  EXPECT_EQ(flash_bytes(0x1E8000, data.size()), data);
  EXPECT_EQ(count().set_bit_attempts, 0u);
  EXPECT_EQ(count().unexpected, 0u);
  EXPECT_TRUE(board.flash.in_read_mode());
}

// Failure on request: (erase or program, attempts that fail) → result and the
// number of attempts the store made on that block or halfword.
struct FailCase {
  bool erase;
  int failures;  // < 0: never completes
  int32_t result;
  uint64_t attempts;
};
void PrintTo(const FailCase& c, std::ostream* os) {
  *os << (c.erase ? "erase" : "program") << " failing " << c.failures << " times";
}

class FlashRetries : public FlashStore, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FlashRetries, RetriesThenSucceedsOrGivesUp) {
  const FailCase& c = GetParam();
  board.flash.set_contents(0x20000, pattern(65536, 10));  // programmed: needs an erase
  board.flash.clear_counters();
  if (c.erase) board.flash.fail_erase(0x20000, c.failures);
  else board.flash.fail_program(0x20100, c.failures);
  Bytes data = pattern(65536, 11);
  EXPECT_EQ(write(0x20000, data), c.result);
  if (c.erase) EXPECT_EQ(board.flash.erases_at().at(0x20000), c.attempts);
  else EXPECT_EQ(board.flash.programs_at().at(0x20100), c.attempts);
  if (c.result == 1) EXPECT_EQ(flash_bytes(0x20000, 65536), data);
  if (c.result == -2) {  // programming stopped at the failed halfword
    EXPECT_EQ(board.flash.programs_at().count(0x20102), 0u);
    EXPECT_EQ(flash_bytes(0x20000, 0x100), Bytes(data.begin(), data.begin() + 0x100));
  }
  // Whatever happened, the part is left readable.
  EXPECT_TRUE(board.flash.in_read_mode());
  EXPECT_EQ(count().set_bit_attempts, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, FlashRetries,
                         ::testing::Values(FailCase{true, 3, 1, 4}, FailCase{true, 101, 1, 102},
                                           FailCase{true, -1, -1, 102}, FailCase{false, 5, 1, 6},
                                           FailCase{false, 100, 1, 101},
                                           FailCase{false, -1, -2, 101}));

TEST_F(FlashStore, EraseFailureTakesTheLongWayRound) {
  // 102 attempts of 5 ms + 5,000 polls 1 ms apart, 200 ms after each: about
  // 530 s of the terminal's time.
  board.flash.set_contents(0x20000, {0});
  board.flash.fail_erase(0x20000, -1);
  double t0 = board.timer.elapsed_ms();
  EXPECT_EQ(write(0x20000, {1}), -1);
  double took = board.timer.elapsed_ms() - t0;
  EXPECT_GT(took, 102 * (5 + 5000 + 200) * 0.95);
  EXPECT_LT(took, 102 * (5 + 5000 + 200) * 1.2);
}

TEST_F(FlashStore, FailsWhenNoSectorBufferCanBeHad) {
  std::vector<void*> taken;
  while (void* p = bl::heap_alloc(4096)) taken.push_back(p);
  board.flash.clear_counters();
  EXPECT_EQ(write(0x2000, {1, 2}), -1);
  EXPECT_EQ(count().writes, 0u);
  for (void* p : taken) bl::heap_free(p);
  EXPECT_EQ(write(0x2000, {1, 2}), 1);
}

TEST_F(FlashStore, WriteBeyondTheEndFailsWithoutTouchingTheFlash) {
  EXPECT_EQ(write(bl::kFlashSize - 2, {1, 2, 3}), -1);
  EXPECT_EQ(bl::flash_write(0xFFFFFFFFu, nullptr, 2), -1);  // wraps past 2^32
  EXPECT_EQ(count().writes, 0u);
}

TEST(FlashUnknownPart, EveryWriteFailsAndTheFlashIsLeftAlone) {
  sim::SimBoard board(0x1234);
  board.install();
  bl::flash_identify();
  ASSERT_NE(bl::g_state.geometry, nullptr);
  EXPECT_EQ(bl::g_state.geometry->usable, 0);
  board.flash.clear_counters();
  const uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_NE(bl::flash_write(W + 0x10000, data, 4), 1);
  EXPECT_EQ(board.flash.counters().writes, 0u);
  bl::hw::set_board(nullptr);
}

TEST(FlashNoGeometry, WriteFailsBeforeIdentification) {
  sim::SimBoard board;
  board.install();
  const uint8_t data[2] = {1, 2};
  EXPECT_EQ(bl::flash_write(W, data, 2), -1);
  EXPECT_EQ(bl::sector_of(0), -2);
  EXPECT_EQ(board.flash.counters().writes, 0u);
  bl::hw::set_board(nullptr);
}

}  // namespace
