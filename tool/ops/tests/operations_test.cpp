// The operations library as a console program uses it: naming a preset, the
// outcome texts, the serial-number check, the voice look-up and the INI rules.
// The window's sequences over these functions are tested in tool/tests/.
#include <gtest/gtest.h>

#include <map>

#include "tool/ops/ini_file.h"
#include "tool/ops/operations.h"
#include "tool/ops/texts_cp936.h"

namespace {

using Strings = std::vector<std::string>;

TEST(OpsPresets, NamedByItemTextOrIndex) {
  ASSERT_EQ(ops::KeyLayoutPresets().size(), 8u);
  const std::pair<const char*, int> cases[] = {
      {"QuelmarkIII NoCheckIn/Out", 0}, {"R7 In/Out", 4}, {"UserID_long=5", 7}, {"0", 0}, {"4", 4}, {"07", 7},
      {"8", -1}, {"-1", -1}, {"", -1}, {" 1", -1}, {"$1", -1}, {"123", -1}, {"r7 in/out", -1}, {"R7 In/Out ", -1},
  };
  for (const auto& [text, index] : cases) EXPECT_EQ(ops::FindPreset(text), index) << "'" << text << "'";
}

TEST(OpsPresets, OutcomeOfAWrite) {
  Strings calls;
  std::map<std::string, int> failures;  // option string -> writes to fail
  const ops::WriteOption write = [&](const std::string& option) {
    calls.push_back(option);
    int& left = failures[option];
    return left-- <= 0;
  };
  ops::Outcome outcome = ops::WritePreset(write, 5);
  EXPECT_EQ(calls, (Strings{"ShowCheckIn=0", "~KeyLayout=0", "~ShowState=0", "~ShowState=0"}));
  EXPECT_EQ(outcome.box, ops::Outcome::Box::Information);
  EXPECT_EQ(outcome.text, "Success!");

  calls.clear();
  failures["~KeyLayout=0"] = 4;  // the first write and its three retries
  outcome = ops::WritePreset(write, 5);
  EXPECT_EQ(calls, (Strings{"ShowCheckIn=0", "~KeyLayout=0", "~KeyLayout=0", "~KeyLayout=0", "~KeyLayout=0"}));
  EXPECT_TRUE(outcome.Failed());
  EXPECT_EQ(outcome.text, "Save config fail!");

  calls.clear();
  EXPECT_EQ(ops::WritePreset(write, 8).text, "Save config fail!");  // no preset: nothing written
  EXPECT_TRUE(calls.empty());
}

TEST(OpsSerialNumber, AcceptsSixByteIntegerTexts) {
  struct Case {
    const char* typed;
    const char* option;   // nullptr: refused
    const char* refusal;
  };
  const Case cases[] = {
      {"123456", "~SerialNumber=123456", nullptr},
      {" 12345", "~SerialNumber=12345", nullptr},
      {"$00FFF", "~SerialNumber=$00FFF", nullptr},
      {"-12345", "~SerialNumber=-12345", nullptr},
      {"12345", nullptr, cp936::kMsgSerialLength},
      {"1234567", nullptr, cp936::kMsgSerialLength},
      {"12345 ", nullptr, cp936::kMsgSerialInvalid},
      {"12345A", nullptr, cp936::kMsgSerialInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    const ops::SerialNumberCheck check = ops::CheckSerialNumber(c.typed);
    EXPECT_EQ(check.Accepted(), c.option != nullptr);
    EXPECT_EQ(check.option, c.option ? c.option : "");
    EXPECT_EQ(check.refusal.text, c.refusal ? c.refusal : "");
  }
}

TEST(OpsOptionWrite, ThreeAttemptsThenTheOutcome) {
  int calls = 0;
  int failures = 2;
  const ops::WriteOption write = [&](const std::string&) { return ++calls > failures; };
  EXPECT_EQ(ops::WriteWithRetries(write, "A=1").text, "Success!");
  EXPECT_EQ(calls, 3);
  calls = 0;
  failures = 3;
  const ops::Outcome outcome = ops::WriteWithRetries(write, "A=1");
  EXPECT_TRUE(outcome.Failed());
  EXPECT_EQ(outcome.text, "Save config fail!");
  EXPECT_EQ(calls, 3);
}

TEST(OpsOemIdentity, CutAndFailuresInOrder) {
  EXPECT_EQ(ops::CutOemName("ABCDEFGHIJKLMNOPQ"), "ABCDEFGHIJKLMNOP");
  Strings events;
  const ops::WriteOption write = [&](const std::string& option) {
    events.push_back(option);
    return option.rfind("~DeviceName=", 0) == 0;  // the vendor name always fails
  };
  const bool written = ops::WriteOemIdentity(write, "Acme", "T9", [&](const ops::Outcome& outcome) {
    events.push_back("BOX " + outcome.text);
  });
  EXPECT_FALSE(written);
  EXPECT_EQ(events, (Strings{"~OEMVendor=Acme", "~OEMVendor=Acme", "~OEMVendor=Acme",
                             std::string("BOX ") + cp936::kMsgVendorFail, "~DeviceName=T9"}));
}

class FixedVoices : public VoiceConfigReader {
 public:
  explicit FixedVoices(std::string value) : value_(std::move(value)) {}
  std::string ReadString(const std::string& section, const std::string& key, const std::string& fallback) const override {
    return section == "QZX" && key == "Voices" ? value_ : fallback;
  }

 private:
  std::string value_;
};

TEST(OpsVoice, LookUpSendsWholeValuesOnly) {
  struct Case {
    const char* what;
    std::string value;
    std::string voice;
    std::string option;   // empty: refused with the text below
    std::string refusal;
  };
  const Case cases[] = {
      {"value", "5", "QZX", "Voices=5", ""},
      {"392 bytes fill the request", std::string(392, 'x'), "QZX", "Voices=" + std::string(392, 'x'), ""},
      {"393 bytes do not fit", std::string(393, 'x'), "QZX", "", "Config file error"},
      {"NUL inside", std::string("5\0" "6", 3), "QZX", "", "Config file error"},
      {"empty value", "", "QZX", "", "Config file error"},
      {"other section", "5", "ABC", "", "Config file error"},
      {"no voice", "5", "", "", "Please select a voice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FixedVoices reader(c.value);
    const ops::VoiceLookup lookup = ops::LookUpVoice(&reader, c.voice);
    EXPECT_EQ(lookup.option, c.option);
    EXPECT_EQ(lookup.refusal.text, c.refusal);
    EXPECT_EQ(lookup.Found(), c.refusal.empty());
  }
  EXPECT_EQ(ops::LookUpVoice(nullptr, "QZX").refusal.text, "Config file error");
  int writes = 0;
  EXPECT_EQ(ops::WriteVoice([&](const std::string&) { return ++writes > 1; }, "Voices=5").text, "Save config fail!");
  EXPECT_EQ(writes, 1);  // one write, no retry
}

TEST(OpsIniFile, WindowsRules) {
  struct Case {
    const char* what;
    std::string text;
    const char* value;  // nullptr: not found
  };
  const Case cases[] = {
      {"byte-order mark", "\xEF\xBB\xBF[QZX]\nVoices=5\n", "5"},
      {"no line end at the end", "[QZX]\nVoices=5", "5"},
      {"blanks around name, key and value", " [ QZX ] \n\t Voices \t=\t 5 \n", "5"},
      {"text after the ]", "[QZX] voices\nVoices=5\n", "5"},
      {"comment line", "[QZX]\n;Voices=4\nVoices=5\n", "5"},
      {"line without =", "[QZX]\nVoices\nVoices=5\n", "5"},
      {"first section of the name only", "[QZX]\nOther=1\n[qzx]\nVoices=5\n", nullptr},
      {"key before any section", "Voices=5\n[QZX]\n", nullptr},
      {"key in a later section", "[QZX]\n[Other]\nVoices=5\n", nullptr},
      {"[ without ] is a line of the section", "[QZX]\n[Voices=5\nVoices=6\n", "6"},
      {"empty value", "[QZX]\nVoices=\nVoices=5\n", ""},
      {"unmatched quotes stay", "[QZX]\nVoices=\"5'\n", "\"5'"},
      {"single quotes go", "[QZX]\nVoices='5'\n", "5"},
      {"a lone quote stays", "[QZX]\nVoices=\"\n", "\""},
      {"CR alone ends a line", "[QZX]\rVoices=5\r", "5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string value = "unset";
    const bool found = ops::FindIniValue(c.text, "QZX", "Voices", &value);
    EXPECT_EQ(found, c.value != nullptr);
    if (c.value) EXPECT_EQ(value, c.value);
  }
  // Case folds single-byte letters only: 0x81 0x61 and 0x81 0x41 are two characters.
  EXPECT_TRUE(ops::FindIniValue("[\x81\x61]\nK=1\n", "\x81\x61", "k", nullptr));
  EXPECT_FALSE(ops::FindIniValue("[\x81\x61]\nK=1\n", "\x81\x41", "k", nullptr));
}

}  // namespace
