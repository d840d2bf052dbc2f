#include "platform/strtoint.h"

namespace platform {

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool TryStrToInt(const std::string& text, int32_t* value) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  bool hex = false;
  if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    i += 1;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= n) return false;  // no digit at all

  uint64_t magnitude = 0;
  if (hex) {
    int significant = 0;
    for (; i < n; ++i) {
      const int d = HexDigit(text[i]);
      if (d < 0) return false;
      if (significant > 0 || d != 0) ++significant;
      if (significant > 8) return false;
      magnitude = magnitude * 16 + static_cast<uint64_t>(d);
    }
    uint32_t bits = static_cast<uint32_t>(magnitude);
    if (negative) bits = 0u - bits;
    *value = static_cast<int32_t>(bits);
    return true;
  }

  const uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  for (; i < n; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
    if (magnitude > limit) return false;
  }
  const uint32_t bits = negative ? 0u - static_cast<uint32_t>(magnitude)
                                 : static_cast<uint32_t>(magnitude);
  *value = static_cast<int32_t>(bits);
  return true;
}

}  // namespace platform
