#include "sysutils.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Length in bytes of the character that starts at position i.
std::size_t CharLength(const std::string& text, std::size_t i) {
  if (IsCp936LeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) return 2;
  return 1;
}

}  // namespace

bool TryStrToInt(const std::string& text, int32_t& value) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && text[i] == ' ') ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= n) return false;  // no digit at all

  if (hex) {
    uint32_t pattern = 0;
    int significant = 0;
    for (; i < n; ++i) {
      int d = HexDigit(text[i]);
      if (d < 0) return false;
      if (significant > 0 || d != 0) ++significant;
      if (significant > 8) return false;
      pattern = (pattern << 4) | static_cast<uint32_t>(d);
    }
    if (negative) pattern = 0u - pattern;  // wraps like the 32-bit negation it is
    value = static_cast<int32_t>(pattern);
    return true;
  }

  // Decimal: accumulate the magnitude, bounded by 2^31 for "-" and 2^31 - 1 otherwise.
  const uint64_t limit = negative ? 2147483648ull : 2147483647ull;
  uint64_t magnitude = 0;
  for (; i < n; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
    if (magnitude > limit) return false;
  }
  value = negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(magnitude))
                   : static_cast<int32_t>(magnitude);
  return true;
}

int32_t StrToInt(const std::string& text) {
  int32_t value = 0;
  if (!TryStrToInt(text, value)) throw EConvertError("'" + text + "' is not a valid integer value");
  return value;
}

std::string Trim(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32) ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32) --last;
  return text.substr(first, last - first);
}

std::string UpperAscii(const std::string& text) {
  std::string result = text;
  for (std::size_t i = 0; i < result.size();) {
    std::size_t len = CharLength(result, i);
    if (len == 1 && result[i] >= 'a' && result[i] <= 'z') result[i] = static_cast<char>(result[i] - 'a' + 'A');
    i += len;
  }
  return result;
}

std::string Cp936Cut(const std::string& text, std::size_t maxBytes) {
  std::size_t end = 0;
  while (end < text.size()) {
    std::size_t len = CharLength(text, end);
    if (end + len > maxBytes) break;
    end += len;
  }
  return text.substr(0, end);
}
