#include "tool/voice_config.h"

#include <INIReader.h>

#include "platform/files.h"

std::string IniVoiceConfig::ReadString(const std::string& section, const std::string& key,
                                       const std::string& defaultValue) const {
  // A missing or unreadable file parses as no sections at all: every look-up
  // gives the default.
  INIReader reader(path_);
  return reader.Get(section, key, defaultValue);
}

std::string DefaultVoiceConfigPath() {
  return platform::ExecutableDirectory() + "/" + kVoiceConfigFileName;
}
