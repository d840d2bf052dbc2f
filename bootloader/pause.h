#pragma once
#include <stdint.h>

namespace bl {
// Busy wait on the OS timer: argument × 3768 / 1024 ticks (32-bit product),
// 60 empty spins first, and an early return when the counter wraps.
void pause_us(uint32_t us);
inline void pause_ms(uint32_t ms) { pause_us(ms * 1000u); }
}  // namespace bl
