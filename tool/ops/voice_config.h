// The voice configuration reader: looks a text up by section and key in the
// voice configuration file, an INI file with one section per voice.
#pragma once

#include <string>

class VoiceConfigReader {
 public:
  virtual ~VoiceConfigReader() = default;
  // The value of key in section; defaultValue when the file, section or key is missing.
  virtual std::string ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const = 0;
};

// Reads an INI file afresh at every look-up, so that a file edited while the
// window is open counts at the next click, with the rules of tool/ops/ini_file.h
// (the first key of a section wins, no line-length limit). Values are the file's
// bytes (CP936), unconverted.
class IniVoiceConfig : public VoiceConfigReader {
 public:
  explicit IniVoiceConfig(std::string path) : path_(std::move(path)) {}
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const override;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// The file name of the voice configuration file.
inline constexpr char kVoiceConfigFileName[] = "voices.ini";

// The default voice configuration file: voices.ini in the folder of the running
// executable (the file travels with the program, whatever the current directory).
std::string DefaultVoiceConfigPath();
