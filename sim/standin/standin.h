// What the main-firmware stand-in (standin.S) tells the emulator, and how to
// check it (see README.md).
#pragma once
#include <cstddef>
#include <cstdint>

namespace standin {

// The firmware doorbell, physical address; the stand-in stores its entry
// address at +0, then the sum of its image at +4.
constexpr uint32_t kDoorbell = 0x4FF00000;
constexpr uint32_t kEntryOffset = 0;
constexpr uint32_t kSumOffset = 4;

// The load address the build packs it for (build/firmware/standin-*.fw).
constexpr uint32_t kLoadAddress = 0xA0200000;

// The sum the stand-in reports: every byte of standin.bin as an unsigned
// number, added modulo 2^32.
inline uint32_t image_sum(const uint8_t* image, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i < size; ++i) sum += image[i];
  return sum;
}

}  // namespace standin
