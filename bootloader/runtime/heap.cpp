// A first-fit allocator with coalescing over one fixed arena. Every block carries
// a one-word header (its size, low bit set while in use); free blocks are linked
// in address order through their second word. Nothing outside the arena is ever
// touched, so the heap cannot grow into the loader's data or the stack.
#include "bootloader/runtime/heap.h"
#include "bootloader/loader_state.h"

namespace bl {
namespace {

constexpr uintptr_t kAlign = 8;
constexpr uintptr_t kHeader = sizeof(uintptr_t);
// Room for the header and the free-list link, a multiple of kAlign.
constexpr uintptr_t kMinBlock = (kHeader + sizeof(uintptr_t) + kAlign - 1) & ~(kAlign - 1);

HeapState& H() { return g_state.heap; }
uintptr_t& size_of(uintptr_t b) { return *reinterpret_cast<uintptr_t*>(b); }
uintptr_t& next_of(uintptr_t b) { return *reinterpret_cast<uintptr_t*>(b + kHeader); }
uintptr_t round_up(uintptr_t v) { return (v + kAlign - 1) & ~(kAlign - 1); }

}  // namespace

void heap_init(void* base, size_t size) {
  // Blocks are multiples of kAlign long, so with the first header placed just
  // below an aligned address every block's payload is kAlign-aligned.
  uintptr_t start = reinterpret_cast<uintptr_t>(base);
  uintptr_t b = round_up(start + kHeader) - kHeader;
  uintptr_t end = start + size;
  if (end < b) end = b;
  end = b + ((end - b) & ~(kAlign - 1));
  H().base = b;
  H().limit = end;
  H().free = 0;
  if (end > b && end - b >= kMinBlock) {
    size_of(b) = end - b;
    next_of(b) = 0;
    H().free = b;
  }
}

void* heap_alloc(size_t n) {
  if (n == 0 || n > H().limit - H().base) return nullptr;
  uintptr_t need = round_up(n + kHeader);
  if (need < kMinBlock) need = kMinBlock;
  uintptr_t prev = 0;
  for (uintptr_t b = H().free; b != 0; prev = b, b = next_of(b)) {
    uintptr_t sz = size_of(b);
    if (sz < need) continue;
    uintptr_t rest = sz - need;
    uintptr_t next = next_of(b);
    if (rest >= kMinBlock) {  // split: the tail stays free
      uintptr_t tail = b + need;
      size_of(tail) = rest;
      next_of(tail) = next;
      next = tail;
      sz = need;
    }
    if (prev) next_of(prev) = next; else H().free = next;
    size_of(b) = sz | 1;
    return reinterpret_cast<void*>(b + kHeader);
  }
  return nullptr;
}

void heap_free(void* p) {
  if (!p) return;
  uintptr_t b = reinterpret_cast<uintptr_t>(p) - kHeader;
  if (b < H().base || b >= H().limit || !(size_of(b) & 1)) return;  // not ours
  size_of(b) &= ~uintptr_t(1);
  // Insert in address order, then merge with the neighbours.
  uintptr_t prev = 0, cur = H().free;
  while (cur != 0 && cur < b) { prev = cur; cur = next_of(cur); }
  next_of(b) = cur;
  if (prev) next_of(prev) = b; else H().free = b;
  if (cur && b + size_of(b) == cur) {
    size_of(b) += size_of(cur);
    next_of(b) = next_of(cur);
  }
  if (prev && prev + size_of(prev) == b) {
    size_of(prev) += size_of(b);
    next_of(prev) = next_of(b);
  }
}

size_t heap_largest_free() {
  uintptr_t best = 0;
  for (uintptr_t b = H().free; b != 0; b = next_of(b))
    if (size_of(b) > best) best = size_of(b);
  return best > kHeader ? best - kHeader : 0;
}

}  // namespace bl
