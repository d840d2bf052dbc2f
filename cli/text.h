// Texts between the console (UTF-8) and the terminal (code page 936 bytes), and
// the little JSON the program writes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qcli {

// A typed argument (UTF-8) as the terminal holds it (CP936). False when the text
// is no UTF-8 or holds a character that code page 936 lacks.
bool ToCp936(const std::string& utf8, std::string* out);
// A terminal's text for the console; bytes that are no CP936 come out as \xNN.
std::string ToUtf8(const std::string& cp936);

// A JSON string literal of a UTF-8 text (invalid bytes as \u00NN).
std::string JsonString(const std::string& utf8);

// A JSON object built field by field, in order.
class Json {
 public:
  Json& Str(const std::string& key, const std::string& utf8) { return Raw(key, JsonString(utf8)); }
  Json& Int(const std::string& key, int64_t v) { return Raw(key, std::to_string(v)); }
  Json& Bool(const std::string& key, bool v) { return Raw(key, v ? "true" : "false"); }
  Json& List(const std::string& key, const std::vector<std::string>& utf8);
  Json& Raw(const std::string& key, const std::string& json) {
    fields_.emplace_back(key, json);
    return *this;
  }
  std::string Text() const;

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

// The value of a JSON field in one line of JSON written by Json (strings, numbers
// and booleans at the top level); false when absent.
bool JsonField(const std::string& line, const std::string& key, std::string* raw);

}  // namespace qcli
