// The voice selection: the voice configuration file, its look-up after the
// connect, the single write and the close after every box.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "tool/tests/fake_terminal.h"
#include "tool/uOEM.h"
#include "tool/ops/voice_config.h"

namespace {

using namespace fake;
using Trace = std::vector<std::string>;

// A voice configuration file of its own per test, removed afterwards.
class VoiceFile {
 public:
  explicit VoiceFile(const std::string* contents) {
    char name[] = "/tmp/quelmark-voices-XXXXXX";
    int fd = mkstemp(name);
    close(fd);
    path_ = name;
    if (contents) {
      std::ofstream(path_, std::ios::binary) << *contents;
    } else {
      std::remove(path_.c_str());  // a file that does not exist
    }
  }
  ~VoiceFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct VoiceCase {
  const char* what;
  const char* file;  // nullptr: no file
  bool select;
  Trace afterConnect;
};

TEST(VoiceSelection, Paths) {
  const VoiceCase cases[] = {
      {"value 5", "[QZX]\nVoices=5\n", true, {Get("Voices"), Set("Voices=5"), Information("Success!"), Close()}},
      {"value already held", "[QZX]\nVoices=3\n", true, {Get("Voices"), Information("Success!"), Close()}},
      {"section in other case, blanks", "; voices\n[qzx]\n  voices = 7 \n", true,
       {Get("Voices"), Set("Voices=7"), Information("Success!"), Close()}},
      {"value with =", "[QZX]\nVoices=a=b\n", true,
       {Get("Voices"), Set("Voices=a=b"), Information("Success!"), Close()}},
      {"no file", nullptr, true, {Warning("Config file error"), Close()}},
      {"empty file", "", true, {Warning("Config file error"), Close()}},
      {"no such section", "[Other]\nVoices=5\n", true, {Warning("Config file error"), Close()}},
      {"no Voices key", "[QZX]\nVolume=5\n", true, {Warning("Config file error"), Close()}},
      {"empty value", "[QZX]\nVoices=\n", true, {Warning("Config file error"), Close()}},
      {"not an INI file", "\x01\x02garbage\n[[[\n", true, {Warning("Config file error"), Close()}},
      {"no voice selected", "[QZX]\nVoices=5\n", false, {Warning("Please select a voice"), Close()}},
  };
  for (const VoiceCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string contents = c.file ? c.file : "";
    VoiceFile file(c.file ? &contents : nullptr);
    TForm1 form;
    Rig rig(form);
    rig.terminal.options["Voices"] = "3";
    form.VoiceConfig.reset(new IniVoiceConfig(file.path()));
    if (c.select) form.cbVoices.Select(0);
    form.Click(form.btnSetVoices);
    Trace expected = {Net()};  // no settle pause
    expected.insert(expected.end(), c.afterConnect.begin(), c.afterConnect.end());
    EXPECT_EQ(rig.terminal.trace, expected);
    EXPECT_EQ(form.DeviceHandle, 0);
  }
}

// The file is read as a Windows INI reader reads it, and a value is sent whole or
// not at all: a cut or joined value must never reach the terminal as "Success!".
TEST(VoiceSelection, FileRulesNeverSendAWrongValue) {
  const std::string long250(250, '7');   // a line of 256 bytes
  const std::string longest(392, '8');   // "Voices=" and 392 bytes: the 399 a write request holds
  const std::string tooLong(393, '9');
  struct Case {
    const char* what;
    std::string file;
    std::string sent;  // empty: "Config file error", nothing written
  };
  const Case cases[] = {
      {"line longer than 199 bytes", "[QZX]\nVoices=" + long250 + "\n", long250},
      {"first of two keys wins", "[QZX]\nVoices=5\nVoices=6\n", "5"},
      {"first of two keys wins, other case", "[QZX]\nvoices=5\nVOICES=6\n", "5"},
      {"indented line continues nothing", "[QZX]\nVoices=5\n  6\n", "5"},
      {"semicolon inside a value", "[QZX]\nVoices=5 ;6\n", "5 ;6"},
      {"quotes around the value", "[QZX]\nVoices=\"5 6\"\n", "5 6"},
      {"CR LF line ends", "[Other]\r\nVoices=1\r\n[QZX]\r\nVoices=5\r\n", "5"},
      {"longest value that fits", "[QZX]\nVoices=" + longest + "\n", longest},
      {"value too long to send whole", "[QZX]\nVoices=" + tooLong + "\n", ""},
      {"NUL inside the value", std::string("[QZX]\nVoices=5\0" "6\n", 17), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VoiceFile file(&c.file);
    TForm1 form;
    Rig rig(form);
    form.VoiceConfig.reset(new IniVoiceConfig(file.path()));
    form.cbVoices.Select(0);
    form.Click(form.btnSetVoices);
    const Trace expected =
        c.sent.empty() ? Trace{Net(), Warning("Config file error"), Close()}
                       : Trace{Net(), Get("Voices"), Set("Voices=" + c.sent), Information("Success!"), Close()};
    EXPECT_EQ(rig.terminal.trace, expected);
  }
}

TEST(VoiceSelection, OneWriteOnlyAndConnectFirst) {
  const std::string contents = "[QZX]\nVoices=5\n";
  VoiceFile file(&contents);
  {
    TForm1 form;
    Rig rig(form);
    form.VoiceConfig.reset(new IniVoiceConfig(file.path()));
    form.cbVoices.Select(0);
    rig.terminal.failWrites["Voices"] = 1;  // fails once: no second attempt
    form.Click(form.btnSetVoices);
    EXPECT_EQ(rig.terminal.trace, (Trace{Net(), Get("Voices"), Set("Voices=5"), Warning("Save config fail!"), Close()}));
  }
  {
    // Without a terminal the connect comes first, whatever is selected.
    TForm1 form;
    Rig rig(form);
    rig.terminal.nextHandle = 0;
    form.Click(form.btnSetVoices);
    EXPECT_EQ(rig.terminal.trace, (Trace{Net(), Warning("Can not connect to the device")}));
  }
}

TEST(VoiceSelection, FileIsReadAtEveryClick) {
  std::string contents = "[QZX]\nVoices=1\n";
  VoiceFile file(&contents);
  TForm1 form;
  Rig rig(form);
  rig.terminal.storeWrites = false;
  form.VoiceConfig.reset(new IniVoiceConfig(file.path()));
  form.cbVoices.Select(0);
  form.Click(form.btnSetVoices);
  std::ofstream(file.path(), std::ios::binary) << "[QZX]\nVoices=2\n";
  form.Click(form.btnSetVoices);
  EXPECT_EQ(rig.terminal.WriteRequests(), (Trace{"Voices=1", "Voices=2"}));
}

TEST(VoiceSelection, DefaultFileLiesBesideTheExecutable) {
  const std::string path = DefaultVoiceConfigPath();
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string dir(exe, static_cast<std::size_t>(n));
  dir = dir.substr(0, dir.rfind('/') + 1);
  EXPECT_EQ(path, dir + "voices.ini");
  TForm1 form;
  auto* reader = dynamic_cast<IniVoiceConfig*>(form.VoiceConfig.get());
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->Path(), path);
}

}  // namespace
