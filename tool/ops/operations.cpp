#include "tool/ops/operations.h"

#include <cstdint>

#include "tool/ops/sysutils.h"
#include "tool/ops/texts_cp936.h"
#include "tool/vordlix.h"

namespace ops {

bool RetriedWrite(const WriteOption& write, const std::string& option) {
  for (int attempt = 0; attempt < 3; ++attempt)
    if (write(option)) return true;
  return false;
}

Outcome WriteWithRetries(const WriteOption& write, const std::string& option) {
  return RetriedWrite(write, option) ? Outcome::Information(kSuccess) : Outcome::Warning(kSaveFail);
}

// ---------------------------------------------------------------- key-layout presets

const std::vector<KeyLayoutPreset>& KeyLayoutPresets() {
  static const std::vector<KeyLayoutPreset> presets = {
      {"QuelmarkIII NoCheckIn/Out", {"ShowCheckin=0"}},
      {"QuelmarkIII CheckIn/Out", {"ShowCheckIn=1"}},
      {"QuelmarkIII Original KeyLayout", {"VTRAKeyLayouts=322A3023373839343536334344424131414244433133"}},
      {"QuelmarkIII Overtime and InOut interchange",
       {"VTRAKeyLayouts=322A3023373839343536334344424131414231334443"}},
      {"R7 In/Out",
       {"ShowCheckIn=1", "~KeyLayout=1", "~ShowState=1",
        "VTRAKeyLayouts=432A3734303835233936414231323344919294933233"}},
      {"R7 No In/Out", {"ShowCheckIn=0", "~KeyLayout=0", "~ShowState=0"}},
      {"UserID_long=9", {"~PIN2Width=9"}},
      {"UserID_long=5", {"~PIN2Width=5"}},
  };
  return presets;
}

std::vector<std::string> PresetStrings(int index) {
  const auto& presets = KeyLayoutPresets();
  if (index < 0 || index >= static_cast<int>(presets.size())) return {};
  return presets[static_cast<std::size_t>(index)].strings;
}

int FindPreset(const std::string& nameOrIndex) {
  const auto& presets = KeyLayoutPresets();
  for (std::size_t i = 0; i < presets.size(); ++i)
    if (presets[i].item == nameOrIndex) return static_cast<int>(i);
  // An index: decimal digits only, so that "$1" or " 1" name no preset.
  if (nameOrIndex.empty() || nameOrIndex.size() > 2) return -1;
  int index = 0;
  for (char c : nameOrIndex) {
    if (c < '0' || c > '9') return -1;
    index = index * 10 + (c - '0');
  }
  return index < static_cast<int>(presets.size()) ? index : -1;
}

Outcome WritePreset(const WriteOption& write, int index) {
  const std::vector<std::string> strings = PresetStrings(index);
  bool ok = !strings.empty();
  if (strings.size() == 1) {
    ok = RetriedWrite(write, strings[0]);
  } else {
    for (std::size_t i = 0; ok && i < strings.size(); ++i) {
      const bool last = i + 1 == strings.size();
      const bool written = write(strings[i]);
      if (last || !written) ok = RetriedWrite(write, strings[i]);
    }
  }
  return ok ? Outcome::Information(kSuccess) : Outcome::Warning(kSaveFail);
}

// ---------------------------------------------------------------- serial number

SerialNumberCheck CheckSerialNumber(const std::string& typed) {
  SerialNumberCheck check;
  int32_t ignored = 0;
  if (typed.size() != 6)
    check.refusal = Outcome::Warning(cp936::kMsgSerialLength);
  else if (!TryStrToInt(typed, ignored))
    check.refusal = Outcome::Warning(cp936::kMsgSerialInvalid);
  else
    check.option = std::string(kSerialNumberOption) + "=" + Trim(typed);
  return check;
}

// ---------------------------------------------------------------- OEM identity

std::string CutOemName(const std::string& name) { return Cp936Cut(name, kOemNameMaxBytes); }

bool WriteOemIdentity(const WriteOption& write, const std::string& vendor, const std::string& product,
                      const Report& report) {
  const bool vendorWritten = RetriedWrite(write, "~OEMVendor=" + vendor);
  if (!vendorWritten && report) report(Outcome::Warning(cp936::kMsgVendorFail));
  const bool productWritten = RetriedWrite(write, "~DeviceName=" + product);
  if (!productWritten && report) report(Outcome::Warning(cp936::kMsgProductFail));
  return vendorWritten && productWritten;
}

// ---------------------------------------------------------------- voices

VoiceLookup LookUpVoice(const VoiceConfigReader* reader, const std::string& voice) {
  VoiceLookup lookup;
  if (voice.empty()) {
    lookup.refusal = Outcome::Warning(kSelectVoice);
    return lookup;
  }
  const std::string value = reader ? reader->ReadString(voice, "Voices", "") : std::string();
  const std::string option = "Voices=" + value;
  // The write request holds the option string and its NUL; the terminal sees the
  // text up to the first NUL. Anything that would not arrive whole is refused.
  if (value.empty() || option.size() > vordlix::kMaxRequestTextLength ||
      value.find('\0') != std::string::npos) {
    lookup.refusal = Outcome::Warning(kConfigFileError);
    return lookup;
  }
  lookup.option = option;
  return lookup;
}

Outcome WriteVoice(const WriteOption& write, const std::string& option) {
  return write(option) ? Outcome::Information(kSuccess) : Outcome::Warning(kSaveFail);
}

}  // namespace ops
