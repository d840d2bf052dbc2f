// libFuzzer target: the voice configuration file reader (tool/ops/ini_file.cpp)
// on hostile file contents. Input: [section name length u8][section name][file].
// Besides memory errors it checks what a value found may be: a piece of one line
// of the file as it stands, never joined from two lines.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tool/ops/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::size_t nameLength = data[0] < size - 1 ? data[0] : size - 1;
  const std::string section(reinterpret_cast<const char*>(data + 1), nameLength);
  const std::string text(reinterpret_cast<const char*>(data + 1 + nameLength), size - 1 - nameLength);

  for (const char* key : {"Voices", "voices", ""}) {
    std::string value;
    if (!ops::FindIniValue(text, section, key, &value)) continue;
    if (value.find_first_of("\r\n") != std::string::npos) std::abort();  // joined lines
    if (text.find(value) == std::string::npos) std::abort();  // a value comes from the file as it stands
  }
  return 0;
}
