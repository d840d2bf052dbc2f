// The C memory routines the compiler and the loader use. Word-wise when both
// pointers allow it, byte-wise otherwise. Built with loop-pattern recognition off
// so that the compiler does not turn these loops back into calls to themselves.
#include "bootloader/runtime/mem.h"

namespace {
constexpr uintptr_t kWord = sizeof(uint32_t);
bool aligned(const void* a, const void* b) {
  return ((reinterpret_cast<uintptr_t>(a) | reinterpret_cast<uintptr_t>(b)) & (kWord - 1)) == 0;
}
}  // namespace

extern "C" {

void* memcpy(void* dst, const void* src, size_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  auto* s = static_cast<const uint8_t*>(src);
  if (aligned(d, s)) {
    for (; n >= kWord; n -= kWord, d += kWord, s += kWord)
      *reinterpret_cast<uint32_t*>(d) = *reinterpret_cast<const uint32_t*>(s);
  }
  while (n--) *d++ = *s++;
  return dst;
}

void* memmove(void* dst, const void* src, size_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  auto* s = static_cast<const uint8_t*>(src);
  if (d <= s || d >= s + n) return memcpy(dst, src, n);
  while (n--) d[n] = s[n];  // overlapping, destination above: copy backwards
  return dst;
}

void* memset(void* dst, int c, size_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  uint8_t b = static_cast<uint8_t>(c);
  if (aligned(d, d)) {
    uint32_t w = b * 0x01010101u;
    for (; n >= kWord; n -= kWord, d += kWord) *reinterpret_cast<uint32_t*>(d) = w;
  }
  while (n--) *d++ = b;
  return dst;
}

int memcmp(const void* a, const void* b, size_t n) {
  auto* p = static_cast<const uint8_t*>(a);
  auto* q = static_cast<const uint8_t*>(b);
  for (; n; --n, ++p, ++q)
    if (*p != *q) return *p - *q;
  return 0;
}

}  // extern "C"
