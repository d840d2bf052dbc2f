// memcpy, memset, memcmp: the target's runtime provides them (runtime/mem.cpp),
// the host's C library does.
#pragma once
#include <stddef.h>
#include <stdint.h>
extern "C" {
void* memcpy(void* dst, const void* src, size_t n);
void* memmove(void* dst, const void* src, size_t n);
void* memset(void* dst, int c, size_t n);
int memcmp(const void* a, const void* b, size_t n);
}
