#include "cli/text.h"

#include <cstdio>
#include <exception>

#include "tool/ops/cp936.h"

namespace qcli {

namespace {

bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
  try {
    return ops::ConvertText(to, from, in, out, ops::GiveUp);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

bool ToCp936(const std::string& utf8, std::string* out) {
  bool ascii = true;
  for (unsigned char c : utf8) ascii = ascii && c < 0x80;
  if (ascii) {
    *out = utf8;
    return true;
  }
  return Convert("CP936", "UTF-8", utf8, out);
}

std::string ToUtf8(const std::string& cp936) {
  std::string out;
  bool ascii = true;
  for (unsigned char c : cp936) ascii = ascii && c < 0x80;
  if (ascii || Convert("UTF-8", "CP936", cp936, &out)) return ascii ? cp936 : out;
  out.clear();
  for (unsigned char c : cp936) {
    if (c < 0x80) {
      out += char(c);
    } else {
      char b[8];
      snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    }
  }
  return out;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = s[i];
    char b[8];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      snprintf(b, sizeof b, "\\u%04X", c);
      out += b;
    } else if (c < 0x80) {
      out += char(c);
    } else {
      // Keep a well-formed UTF-8 sequence; escape a stray byte.
      size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
      bool ok = n > 0 && i + n <= s.size();
      for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
      if (ok) {
        out.append(s, i, n);
        i += n - 1;
      } else {
        snprintf(b, sizeof b, "\\u%04X", c);
        out += b;
      }
    }
  }
  return out + "\"";
}

Json& Json::List(const std::string& key, const std::vector<std::string>& items) {
  std::string raw = "[";
  for (size_t i = 0; i < items.size(); ++i) raw += (i ? "," : "") + JsonString(items[i]);
  return Raw(key, raw + "]");
}

std::string Json::Text() const {
  std::string out = "{";
  for (size_t i = 0; i < fields_.size(); ++i)
    out += (i ? "," : "") + JsonString(fields_[i].first) + ":" + fields_[i].second;
  return out + "}";
}

bool JsonField(const std::string& line, const std::string& key, std::string* raw) {
  const std::string needle = JsonString(key) + ":";
  // Keys are matched only where a field starts: after "{" or ",".
  for (size_t at = line.find(needle); at != std::string::npos; at = line.find(needle, at + 1)) {
    if (at == 0 || (line[at - 1] != '{' && line[at - 1] != ',')) continue;
    size_t i = at + needle.size(), j = i;
    if (j < line.size() && line[j] == '"') {
      for (++j; j < line.size() && line[j] != '"'; ++j)
        if (line[j] == '\\') ++j;
      ++j;
    } else {
      while (j < line.size() && line[j] != ',' && line[j] != '}') ++j;
    }
    *raw = line.substr(i, j - i);
    return true;
  }
  return false;
}

}  // namespace qcli
