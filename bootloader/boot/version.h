// The boot loader's only build stamp, returned by command 1100 with its zero
// byte. The linker script places it at image offset 0x3E20.
#pragma once
#include <stdint.h>

namespace bl {
constexpr uint32_t kVersionTextSize = 17;  // "BLDR Apr 14 2004" and its zero
extern const char kVersionText[kVersionTextSize];
}  // namespace bl
