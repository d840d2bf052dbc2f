// Starting programs: exit codes, no search, hidden output, fire-and-forget starts
// that leave no zombie, and the command-line splitting.
#include "platform/files.h"
#include "platform/process.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/platform_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
  }
  static std::string Slurp(const std::string& path) {
    std::string s;
    platform::ReadFile(path, &s, 1 << 20);
    return s;
  }
  std::string dir_;
};

using Process = TempDir;

TEST_F(Process, ReturnsTheExitCodeOrSignalAndMinusOneWhenNothingStarts) {
  for (int code : {0, 1, 100, 103, 255}) {
    SCOPED_TRACE(code);
    const std::string p = Script("exit" + std::to_string(code), "exit " + std::to_string(code));
    EXPECT_EQ(platform::RunAndWait(p, {p}, true), code);
  }
  const std::string killed = Script("killed", "kill -9 $$");
  EXPECT_EQ(platform::RunAndWait(killed, {killed}, true), 128 + 9);

  EXPECT_EQ(platform::RunAndWait(dir_ + "/absent", {"absent"}, true), -1);
  EXPECT_EQ(platform::RunAndWait(dir_, {"dir"}, true), -1) << "a directory";
  std::ofstream(dir_ + "/plain") << "#!/bin/sh\nexit 0\n";
  EXPECT_EQ(platform::RunAndWait(dir_ + "/plain", {"plain"}, true), -1) << "not executable";
  EXPECT_EQ(platform::RunAndWait("", {}, true), -1);
}

TEST_F(Process, NeverSearchesPathForTheProgram) {
  Script("found_on_path", "exit 42");
  const char* old = getenv("PATH");
  const std::string saved = old ? old : "";
  setenv("PATH", dir_.c_str(), 1);
  EXPECT_EQ(platform::FindInPath("found_on_path"), dir_ + "/found_on_path");
  EXPECT_EQ(platform::RunAndWait("found_on_path", {"found_on_path"}, true), -1);
  EXPECT_EQ(platform::FindInPath("no_such_program_here"), "");
  setenv("PATH", saved.c_str(), 1);
}

TEST_F(Process, HiddenProgramsGetTheirOwnProcessGroup) {
  const std::string out = dir_ + "/pgid.txt";
  // Field 5 of /proc/PID/stat is the process group; the shell's name holds no blank.
  const std::string p = Script("pgid", "cut -d' ' -f5 /proc/$$/stat > '" + out + "'");
  ASSERT_EQ(platform::RunAndWait(p, {p}, true), 0);
  std::string hidden = Slurp(out);
  ASSERT_EQ(platform::RunAndWait(p, {p}, false), 0);
  std::string shown = Slurp(out);
  EXPECT_EQ(shown, std::to_string(getpgrp()) + "\n");
  EXPECT_NE(hidden, shown);
  EXPECT_NE(hidden, "");
}

TEST_F(Process, PassesArgumentsWholeAndHidesOutputOnRequest) {
  const std::string out = dir_ + "/args";
  const std::string p = Script("echo_args",
                               "for a in \"$@\"; do printf '[%s]' \"$a\" >> '" + out + "'; done\n"
                               "echo visible; echo visible >&2; cat; exit 3");
  const std::string longWord(5000, 'a');
  // stdin is /dev/null too, so `cat` ends at once instead of waiting for input.
  EXPECT_EQ(platform::RunAndWait(p, {"echo_args", "", "x y", longWord}, true), 3);
  EXPECT_EQ(Slurp(out), "[][x y][" + longWord + "]");
}

// Counts this process's children that are zombies.
int ZombieChildren() {
  int zombies = 0;
  DIR* proc = opendir("/proc");
  while (dirent* e = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
        ppid == getpid() && state == 'Z') {
      ++zombies;
    }
  }
  closedir(proc);
  return zombies;
}

TEST_F(Process, StartsDetachedWithoutWaitingAndLeavesNoZombie) {
  // The program waits for a go that only comes after StartDetached has returned
  // (it gives up after 5 s, so a start that waited would find the marker there).
  const std::string marker = dir_ + "/ran", go = dir_ + "/go";
  const std::string p = Script("slow", "i=0; while [ ! -e '" + go + "' ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i+1)); done\n"
                                       "echo \"$1\" > '" + marker + "'");
  ASSERT_TRUE(platform::StartDetached(p, {"slow", "word one"}));
  EXPECT_FALSE(platform::FileExists(marker)) << "StartDetached waited for the program";
  std::ofstream(go) << "go";
  for (int i = 0; i < 500 && Slurp(marker) != "word one\n"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(Slurp(marker), "word one\n");
  EXPECT_EQ(ZombieChildren(), 0);

  // A program that cannot be run is no error of the caller's either.
  EXPECT_TRUE(platform::StartDetached(dir_ + "/absent", {"absent"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ZombieChildren(), 0);
}

TEST(SplitCommandLine, BlanksSeparateAndQuotesGroup) {
  using V = std::vector<std::string>;
  const struct {
    const char* line;
    V words;
  } cases[] = {
      {"qvebupd.exe 192.168.1.201 $1112", {"qvebupd.exe", "192.168.1.201", "$1112"}},
      {"qvebupd.exe COM1 ", {"qvebupd.exe", "COM1"}},
      {"  a\t\tb  ", {"a", "b"}},
      {"a \"\" b", {"a", "", "b"}},
      {"a \"x y\" b", {"a", "x y", "b"}},
      {"a x\"y z\"w", {"a", "xy zw"}},
      {"a \"open", {"a", "open"}},
      {"a \\b\\", {"a", "\\b\\"}},
      {"", {}},
      {"   ", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(platform::SplitCommandLine(c.line), c.words);
  }
}

}  // namespace
