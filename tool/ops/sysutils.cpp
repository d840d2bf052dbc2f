#include "tool/ops/sysutils.h"

#include "platform/strtoint.h"

namespace {

// Length in bytes of the character that starts at position i.
std::size_t CharLength(const std::string& text, std::size_t i) {
  if (IsCp936LeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) return 2;
  return 1;
}

}  // namespace

bool TryStrToInt(const std::string& text, int32_t& value) { return platform::TryStrToInt(text, &value); }

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

std::size_t Cp936Length(const std::string& text) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); i += CharLength(text, i)) ++count;
  return count;
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
