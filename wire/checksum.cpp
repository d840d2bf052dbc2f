#include "wire/checksum.h"

#include "wire/bytes.h"

namespace wire {
namespace {

// Adds little-endian words to a running sum; n may be odd only for the last run.
inline uint32_t add_words(const uint8_t* data, uint32_t n, uint32_t sum) {
  uint32_t i = 0;
  for (; i + 1 < n; i += 2) {
    sum += static_cast<uint32_t>(data[i] | (data[i + 1] << 8));
    if (sum & 0x80000000u) sum = (sum & 0xFFFF) + (sum >> 16);
  }
  if (i < n) sum += data[i];
  return sum;
}

inline uint16_t finish(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

}  // namespace

uint16_t checksum(const uint8_t* data, uint32_t n) { return finish(add_words(data, n, 0)); }

bool checksum_field_ok(const uint8_t* p, uint32_t n, uint32_t field) {
  if (n < field + 2) return false;
  // The sum as if the field were zero: the words before it, then those after.
  uint32_t sum = add_words(p, field, 0);
  sum = add_words(p + field + 2, n - field - 2, sum);
  return finish(sum) == get_le16(p + field);
}

}  // namespace wire
