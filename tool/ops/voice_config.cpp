#include "tool/ops/voice_config.h"

#include <fstream>
#include <iterator>

#include "platform/files.h"
#include "tool/ops/ini_file.h"

std::string IniVoiceConfig::ReadString(const std::string& section, const std::string& key,
                                       const std::string& defaultValue) const {
  // A missing or unreadable file reads as no sections at all: every look-up
  // gives the default.
  std::ifstream file(path_, std::ios::binary);
  if (!file) return defaultValue;
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::string value;
  return ops::FindIniValue(text, section, key, &value) ? value : defaultValue;
}

std::string DefaultVoiceConfigPath() {
  return platform::ExecutableDirectory() + "/" + kVoiceConfigFileName;
}
