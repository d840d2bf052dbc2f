#include "voice_config.h"

#include <INIReader.h>
#include <unistd.h>

#include <climits>

std::string IniVoiceConfig::ReadString(const std::string& section, const std::string& key,
                                       const std::string& defaultValue) const {
  // A missing or unreadable file parses as no sections at all: every look-up
  // gives the default.
  INIReader reader(path_);
  return reader.Get(section, key, defaultValue);
}

std::string DefaultVoiceConfigPath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return kVoiceConfigFileName;
  std::string exe(buffer, static_cast<std::size_t>(n));
  std::size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return kVoiceConfigFileName;
  return exe.substr(0, slash + 1) + kVoiceConfigFileName;
}
