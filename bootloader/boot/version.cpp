#include "bootloader/boot/version.h"

namespace bl {
const char kVersionText[kVersionTextSize] = "BLDR Apr 14 2004";
}  // namespace bl
