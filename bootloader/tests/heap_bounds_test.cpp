// The heap never hands out memory outside its arena: allocations that do not fit
// fail, blocks never overlap, freed memory is reused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "bootloader/hw/host_board.h"
#include "bootloader/loader_state.h"
#include "bootloader/runtime/heap.h"

namespace {

constexpr size_t kGuard = 256;

// An arena with guard bytes on both sides, at a chosen misalignment.
class HeapBounds : public ::testing::Test {
 protected:
  void init(size_t size, size_t misalign = 0) {
    raw_.assign(kGuard + misalign + size + kGuard, 0xEE);
    base_ = raw_.data() + kGuard + misalign;
    size_ = size;
    std::fill(base_, base_ + size, 0);
    bl::heap_init(base_, size);
  }
  bool inside(const void* p, size_t n) const {
    auto* b = static_cast<const uint8_t*>(p);
    return b >= base_ && b + n <= base_ + size_;
  }
  bool guards_intact() const {
    for (size_t i = 0; i < raw_.size(); ++i) {
      const uint8_t* p = raw_.data() + i;
      if ((p < base_ || p >= base_ + size_) && *p != 0xEE) return false;
    }
    return true;
  }
  // Fills the arena with blocks of the given sizes (cycling) until one fails.
  std::vector<std::pair<uint8_t*, size_t>> fill(const std::vector<size_t>& sizes) {
    std::vector<std::pair<uint8_t*, size_t>> blocks;
    for (size_t i = 0;; ++i) {
      size_t n = sizes[i % sizes.size()];
      auto* p = static_cast<uint8_t*>(bl::heap_alloc(n));
      if (!p) break;
      std::memset(p, 0xA0 + (blocks.size() & 0xF), n);
      blocks.push_back({p, n});
    }
    return blocks;
  }
  std::vector<uint8_t> raw_;
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
};

TEST_F(HeapBounds, FilledArenaStaysInsideAndBlocksDoNotOverlap) {
  for (size_t misalign : {0, 1, 3, 4, 7}) {
    init(64 * 1024, misalign);
    auto blocks = fill({1, 7, 8, 100, 2052, 1032, 33});
    ASSERT_GT(blocks.size(), 30u);
    auto sorted = blocks;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 0; i < sorted.size(); ++i) {
      EXPECT_TRUE(inside(sorted[i].first, sorted[i].second)) << "block " << i;
      EXPECT_EQ(reinterpret_cast<uintptr_t>(sorted[i].first) % 8, 0u) << "block " << i;
      if (i + 1 < sorted.size()) EXPECT_LE(sorted[i].first + sorted[i].second, sorted[i + 1].first);
    }
    for (size_t i = 0; i < blocks.size(); ++i)  // nothing overwrote a neighbour
      for (size_t k = 0; k < blocks[i].second; ++k)
        ASSERT_EQ(blocks[i].first[k], 0xA0 + (i & 0xF)) << "block " << i;
    EXPECT_TRUE(guards_intact()) << "misalign " << misalign;
  }
}

TEST_F(HeapBounds, AllocationsThatDoNotFitFail) {
  init(4096);
  size_t largest = bl::heap_largest_free();
  EXPECT_LE(largest, 4096u);
  EXPECT_EQ(bl::heap_alloc(0), nullptr);
  EXPECT_EQ(bl::heap_alloc(4097), nullptr);
  EXPECT_EQ(bl::heap_alloc(largest + 1), nullptr);
  EXPECT_EQ(bl::heap_alloc(SIZE_MAX), nullptr) << "no wrap-around in the size arithmetic";
  EXPECT_EQ(bl::heap_alloc(SIZE_MAX - 4), nullptr);
  void* all = bl::heap_alloc(largest);
  ASSERT_NE(all, nullptr);
  EXPECT_TRUE(inside(all, largest));
  EXPECT_EQ(bl::heap_alloc(1), nullptr);
  EXPECT_EQ(bl::heap_largest_free(), 0u);
  bl::heap_free(all);
  EXPECT_EQ(bl::heap_largest_free(), largest);

  init(4);  // too small for any block
  EXPECT_EQ(bl::heap_alloc(1), nullptr);
  EXPECT_TRUE(guards_intact());
}

TEST_F(HeapBounds, FreedBlocksMergeAndAreReused) {
  init(32 * 1024);
  size_t largest = bl::heap_largest_free();
  auto blocks = fill({500, 1200, 64});
  // Free every other block, then the rest, in a scrambled order.
  for (size_t i = 0; i < blocks.size(); i += 2) bl::heap_free(blocks[i].first);
  for (size_t i = blocks.size(); i-- > 1;)
    if (i % 2) bl::heap_free(blocks[i].first);
  EXPECT_EQ(bl::heap_largest_free(), largest) << "all free space merged into one block";
  bl::heap_free(nullptr);
  int foreign = 0;
  bl::heap_free(&foreign);  // not from the arena: ignored
  EXPECT_EQ(bl::heap_largest_free(), largest);
  EXPECT_NE(bl::heap_alloc(largest), nullptr);
  EXPECT_TRUE(guards_intact());
}

// The loader's arena is the 512 KB below its data: an announced transfer of
// 512 KB or more cannot be had, and the heap state lives in g_state.
TEST_F(HeapBounds, LoaderArenaEndsBelowTheData) {
  EXPECT_EQ(bl::kHeapBase, 0xA0080000u);
  EXPECT_EQ(bl::kHeapLimit, 0xA0100000u);
  bl::hw::reset_loader_state();
  size_t arena = bl::kHeapLimit - bl::kHeapBase;
  EXPECT_LT(bl::heap_largest_free(), arena);
  EXPECT_GT(bl::heap_largest_free(), arena - 64);
  EXPECT_EQ(bl::heap_alloc(arena), nullptr);
  EXPECT_LE(bl::g_state.heap.limit - bl::g_state.heap.base, arena);
  EXPECT_NE(bl::heap_alloc(bl::heap_largest_free()), nullptr);
  bl::hw::reset_loader_state();
}

}  // namespace
