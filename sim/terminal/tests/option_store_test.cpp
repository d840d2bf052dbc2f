// The option store's file: parsing and its refusals, defaults when the file is
// missing, a clear error (and an untouched file) when it cannot be read, every
// change written through a temporary file and a rename.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "sim/terminal/main_firmware.h"
#include "sim/terminal/option_store.h"

namespace {

using sim::terminal::MainFirmware;
using sim::terminal::OptionStore;

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void Spit(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

class StoreFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/optstore-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/options.txt";
  }
  void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }
  std::string dir, path;
};

TEST(OptionFileFormat, ParsesLinesAndRefusesWhatItCannotRead) {
  OptionStore::Entries e;
  std::string error;
  ASSERT_TRUE(OptionStore::Parse("A=1\r\n\nB=x=y\n~C=\n\xC9\xCF=\xBA\xA3", &e, &error)) << error;
  EXPECT_EQ(e, (OptionStore::Entries{{"A", "1"}, {"B", "x=y"}, {"~C", ""}, {"\xC9\xCF", "\xBA\xA3"}}));
  EXPECT_EQ(OptionStore::Format(e), "A=1\nB=x=y\n~C=\n\xC9\xCF=\xBA\xA3\n");
  struct Case {
    std::string text, error;
  };
  const Case bad[] = {
      {"A=1\nno equals\n", "line 2: no \"=\""},
      {"=1\n", "line 1: no option name before \"=\""},
      {"A=1\nA=2\n", "line 2: option A given twice"},
      {std::string("A=1\0x\n", 6), "line 1: a NUL byte"},
      {"A=1\rB=2\n", "line 1: a CR inside the line"},
  };
  for (const Case& c : bad) {
    EXPECT_FALSE(OptionStore::Parse(c.text, &e, &error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
}

TEST_F(StoreFile, AMissingFileStartsFromTheDefaultsAndIsWrittenOut) {
  MainFirmware firmware;
  std::string error;
  ASSERT_TRUE(firmware.OpenStore(path, &error)) << error;
  EXPECT_EQ(Slurp(path), OptionStore::Format(MainFirmware::Defaults()));
  EXPECT_EQ(firmware.Options().Get("~SerialNumber"), "000000");
}

TEST_F(StoreFile, AnEditedFileIsTakenAsItStands) {
  Spit(path, "Voices=7\r\n~SerialNumber=123456\n");
  MainFirmware firmware;
  std::string error;
  ASSERT_TRUE(firmware.OpenStore(path, &error)) << error;
  EXPECT_EQ(firmware.Options().Get("Voices"), "7");
  EXPECT_FALSE(firmware.Options().Get("~OEMVendor").has_value()) << "the file replaces the defaults";
}

TEST_F(StoreFile, AFileThatCannotBeReadIsAnErrorAndStaysAsItIs) {
  const std::string broken = "Voices=7\ngarbage\n";
  Spit(path, broken);
  OptionStore store(MainFirmware::Defaults());
  std::string error;
  EXPECT_FALSE(store.Open(path, &error));
  EXPECT_EQ(error, path + ": line 2: no \"=\"");
  EXPECT_EQ(Slurp(path), broken);
  // A folder in the file's place cannot be read either.
  const std::string folder = dir + "/sub";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  EXPECT_FALSE(store.Open(folder, &error));
  EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
  EXPECT_TRUE(store.path().empty());
}

TEST_F(StoreFile, EveryChangeReplacesTheFileThroughARename) {
  OptionStore store({{"A", "1"}, {"B", "2"}});
  std::string error;
  ASSERT_TRUE(store.Open(path, &error)) << error;
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  // A temporary file left by a kill does not count and is replaced.
  Spit(path + ".tmp", "half");
  ASSERT_TRUE(store.Set("B", "3"));
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino) << "a new file renamed over the old one";
  ASSERT_TRUE(store.Set("C", "new"));
  EXPECT_EQ(Slurp(path), "A=1\nB=3\nC=new\n") << "order kept, new options last";
  EXPECT_NE(::access((path + ".tmp").c_str(), F_OK), 0);
  EXPECT_EQ(store.Writes("B"), 1u);
  EXPECT_EQ(store.Writes("C"), 1u);
  // What the file cannot hold is refused, and nothing changes.
  EXPECT_FALSE(store.Set("D", "two\nlines"));
  EXPECT_FALSE(store.Get("D").has_value());
  EXPECT_EQ(Slurp(path), "A=1\nB=3\nC=new\n");
  // A store that can no longer be written refuses the change too.
  ASSERT_EQ(::mkdir((path + ".tmp").c_str(), 0755), 0);  // the temporary name is taken
  EXPECT_FALSE(store.Set("A", "9"));
  EXPECT_EQ(store.Get("A"), "1");
  EXPECT_EQ(store.Writes("A"), 0u);
}

}  // namespace
