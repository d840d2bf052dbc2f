// The configuration operations without a window: the key-layout presets, the
// serial-number check, the cut of the OEM names and the voice look-up, shared by
// the window's handlers (tool/uOEM.cpp) and console programs.
//
// Nothing here connects, pauses or shows anything. The functions that write take
// the write as a function (on an open connection: SetOption of tool/vordlix.h) and
// return an Outcome: the box the window shows and its text, word for word, which a
// console program prints. Texts are CP936 bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tool/ops/voice_config.h"

namespace ops {

// ---- outcome texts (the Chinese ones are in tool/ops/texts_cp936.h)
inline constexpr char kSuccess[] = "Success!";
inline constexpr char kSaveFail[] = "Save config fail!";
inline constexpr char kSelectValue[] = "Pls select a Value";
inline constexpr char kCannotConnect[] = "Can not connect to the device";
inline constexpr char kSelectVoice[] = "Please select a voice";
inline constexpr char kConfigFileError[] = "Config file error";

// What an operation reports: the information box, the warning box, or nothing.
struct Outcome {
  enum class Box { None, Information, Warning };
  Box box = Box::None;
  std::string text;

  bool Failed() const { return box == Box::Warning; }
  static Outcome Nothing() { return {}; }
  static Outcome Information(std::string text) { return {Box::Information, std::move(text)}; }
  static Outcome Warning(std::string text) { return {Box::Warning, std::move(text)}; }
};

// Writes one option string on an open connection; true when the terminal holds it.
using WriteOption = std::function<bool(const std::string& option)>;
// Receives an outcome at the moment the window would show it.
using Report = std::function<void(const Outcome&)>;

// The retried write: up to three writes, stopping at the first success.
bool RetriedWrite(const WriteOption& write, const std::string& option);

// One option string with the retried write, as the option panel writes it (the
// serial number too): "Success!" or "Save config fail!".
Outcome WriteWithRetries(const WriteOption& write, const std::string& option);

// ---------------------------------------------------------------- key-layout presets

struct KeyLayoutPreset {
  std::string item;                  // the text of the list item
  std::vector<std::string> strings;  // option strings, in the order written
};

// The eight presets, in the order of the window's list.
const std::vector<KeyLayoutPreset>& KeyLayoutPresets();

// The option strings of the preset at a list index; empty when the index is no preset.
std::vector<std::string> PresetStrings(int index);

// The index of a preset named by its item text (exactly) or by its index in
// decimal ("0" to "7"); -1 when nothing matches.
int FindPreset(const std::string& nameOrIndex);

// Writes the preset at index (a valid one). A single string gets the retried
// write. In a chain every string is written once; a string whose write fails gets
// the retried write before the next one, and the first that still fails ends the
// chain; the last string always gets the retried write as well. "Success!" only
// when every string reached the terminal, "Save config fail!" otherwise.
Outcome WritePreset(const WriteOption& write, int index);

// ---------------------------------------------------------------- serial number

struct SerialNumberCheck {
  Outcome refusal;     // a warning when the number is refused; Nothing when accepted
  std::string option;  // "~SerialNumber=" and the number, trimmed, when accepted
  bool Accepted() const { return !refusal.Failed(); }
};

// A serial number as typed: exactly 6 bytes, blanks included, and an integer text
// (leading blanks, a sign, decimal or hexadecimal digits, nothing after them).
// The text itself is sent, trimmed, not the number.
SerialNumberCheck CheckSerialNumber(const std::string& typed);

inline constexpr char kSerialNumberOption[] = "~SerialNumber";

// ---------------------------------------------------------------- OEM identity

// The name fields take at most 16 characters as typed (a two-byte character
// counts one); the names written are cut to 16 bytes.
inline constexpr std::size_t kOemNameMaxChars = 16;
inline constexpr std::size_t kOemNameMaxBytes = 16;

// The name as written: its first 16 bytes, never half a two-byte character.
std::string CutOemName(const std::string& name);

// Writes "~OEMVendor=" and "~DeviceName=" with the names as they stand (cut them
// first), each with the retried write; a name that fails is reported at once, the
// vendor before the product is written. Success reports nothing. True when both
// were written.
bool WriteOemIdentity(const WriteOption& write, const std::string& vendor, const std::string& product,
                      const Report& report);

// ---------------------------------------------------------------- voices

struct VoiceLookup {
  Outcome refusal;     // "Please select a voice" or "Config file error"; Nothing when found
  std::string option;  // "Voices=" and the value when found
  bool Found() const { return !refusal.Failed(); }
};

// Looks the voice up under the key "Voices" in its section. No voice: "Please
// select a voice". No value (no reader, file, section or key, or an empty value),
// or a value that cannot be sent whole (longer than a write request holds, or with
// a NUL byte): "Config file error". A value is never cut.
VoiceLookup LookUpVoice(const VoiceConfigReader* reader, const std::string& voice);

// Writes the voice's option string once: "Success!" or "Save config fail!".
Outcome WriteVoice(const WriteOption& write, const std::string& option);

}  // namespace ops
