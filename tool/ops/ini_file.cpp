#include "tool/ops/ini_file.h"

namespace ops {
namespace {

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// Compares two names, folding the case of single-byte letters only: the second
// byte of a two-byte CP936 character may lie in the range of the letters.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  bool trail = false;  // the byte is the second of a two-byte character
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (!trail) {
      if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
      if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
    }
    if (x != y) return false;
    trail = !trail && x >= 0x81 && x <= 0xFE;
  }
  return true;
}

}  // namespace

bool FindIniValue(std::string_view text, std::string_view section, std::string_view key, std::string* value) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  const std::string_view wantedSection = TrimBlanks(section);
  const std::string_view wantedKey = TrimBlanks(key);
  bool inSection = false;    // the lines belong to the first section of the name
  bool sectionSeen = false;  // that section has begun (later ones of the name are not looked in)
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = TrimBlanks(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close != std::string_view::npos) {
        if (sectionSeen) return false;
        inSection = SameName(TrimBlanks(line.substr(1, close - 1)), wantedSection);
        sectionSeen = inSection;
        continue;
      }
    }
    if (!inSection) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (!SameName(TrimBlanks(line.substr(0, equals)), wantedKey)) continue;
    std::string_view found = TrimBlanks(line.substr(equals + 1));
    if (found.size() >= 2 && (found.front() == '"' || found.front() == '\'') && found.back() == found.front())
      found = found.substr(1, found.size() - 2);
    if (value) value->assign(found.data(), found.size());
    return true;
  }
  return false;
}

}  // namespace ops
