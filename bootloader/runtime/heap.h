// The loader's heap: a bounded first-fit allocator over one arena.
// On the target the arena is 0xA0080000 up to the loader's data at 0xA0100000,
// so no allocation can reach the data or the stack; an allocation that does not
// fit returns null.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace bl {

// The target's arena: from 0xA0080000 up to the loader's data at 0xA0100000.
constexpr uint32_t kHeapBase = 0xA0080000u;
constexpr uint32_t kHeapLimit = 0xA0100000u;

struct HeapState {
  uintptr_t base;   // arena start
  uintptr_t limit;  // one past the arena's end
  uintptr_t free;   // first free block, 0 when the arena is full
};

void heap_init(void* base, size_t size);
void* heap_alloc(size_t n);  // null when it does not fit (also for n == 0)
void heap_free(void* p);     // null is ignored
size_t heap_largest_free();  // for tests and transfer-size checks

}  // namespace bl
