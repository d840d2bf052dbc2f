// The "Update" button with a stand-in updater as the tool's resource "QVEBUPD":
// the messages for every exit code, the command line, the extraction's rules for
// a file already there, and the file gone afterwards in every outcome.
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>

#include "tool/tests/launch_fixture.h"
#include "platform/resource.h"

namespace {

std::string Resource() {
  std::string bytes;
  EXPECT_TRUE(platform::LoadResource("QVEBUPD", &bytes));
  return bytes;
}

TEST_F(LaunchTest, EveryExitCodeGivesItsMessageAndTheFileIsGoneAfterwards) {
  struct {
    const char* exitCode;  // LAUNCH_EXIT, or nullptr for a kill
    const char* signal;
    const char* message;
  } cases[] = {
      {"1", nullptr, "Parameter error"},      {"100", nullptr, "Cannot connect!"},
      {"101", nullptr, "check sum error!"},   {"102", nullptr, "Not require update!"},
      {"103", nullptr, "Update Fail!"},       {"2", nullptr, "Unknown error"},
      {"255", nullptr, "Unknown error"},      {nullptr, "9", "Unknown error"},
      {nullptr, "15", "Unknown error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message + std::string(" ") + (c.exitCode ? c.exitCode : c.signal));
    boxes_.boxes.clear();
    if (c.exitCode) setenv("LAUNCH_EXIT", c.exitCode, 1); else unsetenv("LAUNCH_EXIT");
    if (c.signal) setenv("LAUNCH_SIGNAL", c.signal, 1); else unsetenv("LAUNCH_SIGNAL");
    Click();
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].Kind, BoxKind::Error);
    EXPECT_EQ(boxes_.boxes[0].Caption, "Error");
    EXPECT_EQ(boxes_.boxes[0].Text, c.message);
    EXPECT_EQ(boxes_.boxes[0].Button, BoxButton::OK);
    EXPECT_EQ(form_.btnUpdateBoot.Text, "Update");
    EXPECT_EQ(closeRequests_, 0) << "the window stays open";
    EXPECT_FALSE(platform::FileExists(Updater()));
  }
  const std::string log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 9) << "ran every time";
}

TEST_F(LaunchTest, SuccessSaysSoThenShowsFinishAndClosesTheWindow) {
  setenv("LAUNCH_EXIT", "0", 1);
  Click();
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].Kind, BoxKind::Information);
  EXPECT_EQ(boxes_.boxes[0].Caption, "Information");
  EXPECT_EQ(boxes_.boxes[0].Text, "Update success!");
  EXPECT_EQ(boxes_.boxes[0].Button, BoxButton::OK);
  EXPECT_EQ(closeRequests_, 1);
  EXPECT_EQ(captionAtClose_, "Finish");
  EXPECT_EQ(boxesAtClose_, 1u) << "closed after the box";
  EXPECT_TRUE(fileAtClose_);
  EXPECT_FALSE(platform::FileExists(Updater())) << "deleted all the same";
}

TEST_F(LaunchTest, RunsTheFieldsAsTheyStandInTheCurrentDirectoryWithOutputHidden) {
  const std::string longAddress(1000, 'A');  // beyond any 512-character buffer
  struct {
    const char* address;
    std::string port;
    std::string words;
  } cases[] = {
      {"192.168.1.201", "$1112", "[qvebupd.exe] [192.168.1.201] [$1112]"},
      {"COM1", "1", "[qvebupd.exe] [COM1] [1]"},
      {"com2", "", "[qvebupd.exe] [com2]"},  // an empty port leaves one argument
      {" 10.0.0.1 ", "x y", "[qvebupd.exe] [10.0.0.1] [x] [y]"},
      {"\"a b\"", "4370", "[qvebupd.exe] [a b] [4370]"},
  };
  std::string expected;
  for (const auto& c : cases) {
    form_.edtnetAddress.Text = c.address;
    form_.edtNetPort.Text = c.port;
    Click();
    expected += "cwd=" + work_ + " out=null " + c.words + "\n";
  }
  form_.edtnetAddress.Text = longAddress;
  form_.edtNetPort.Text = "4370";
  Click();
  expected += "cwd=" + work_ + " out=null [qvebupd.exe] [" + longAddress + "] [4370]\n";
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(form_.UpdaterDir, work_);
}

TEST_F(LaunchTest, AnIdenticalFileIsLeftAsItIsButStillRunAndDeleted) {
  const std::string bytes = Resource();
  ASSERT_TRUE(platform::ReplaceFile(Updater(), bytes, 0755));
  const utimbuf old{1000000000, 1000000000};
  ASSERT_EQ(utime(Updater().c_str(), &old), 0);
  struct stat before, after;
  ASSERT_EQ(stat(Updater().c_str(), &before), 0);

  form_.ExtractUpdater();
  ASSERT_EQ(stat(Updater().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtime, 1000000000);

  Click();
  EXPECT_NE(Log(), "");
  EXPECT_FALSE(platform::FileExists(Updater()));
}

TEST_F(LaunchTest, AnyOtherFileIsReplacedByTheUpdaterBeforeTheRun) {
  const std::string bytes = Resource();
  const std::string marker = root_ + "/foreign_ran";
  struct {
    const char* what;
    std::size_t size;  // of the foreign script; 0: its natural size
    unsigned mode;
  } cases[] = {
      {"same size, other bytes", bytes.size(), 0755},
      {"another size", 0, 0755},
      {"same bytes, not executable", 0, 0644},
      {"a link to a file elsewhere", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string victim = root_ + "/victim";
    if (c.mode == 0) {
      WriteScript(victim, "touch '" + marker + "'");
      ASSERT_EQ(symlink(victim.c_str(), Updater().c_str()), 0);
    } else if (c.mode == 0644) {
      ASSERT_TRUE(platform::ReplaceFile(Updater(), bytes, 0644));
    } else {
      WriteScript(Updater(), "touch '" + marker + "'; exit 42", c.size);
    }
    if (c.size) {
      uint64_t size = 0;
      ASSERT_TRUE(platform::FileSize(Updater(), &size));
      ASSERT_EQ(size, bytes.size());
    }
    form_.ExtractUpdater();
    EXPECT_TRUE(platform::IsExecutableWithContent(Updater(), bytes));

    boxes_.boxes.clear();
    Click();
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].Text, "Update success!") << "the stand-in ran, not the foreign file";
    EXPECT_FALSE(platform::FileExists(marker));
    EXPECT_FALSE(platform::FileExists(Updater()));
    if (c.mode == 0) {
      std::string victimText;
      ASSERT_TRUE(platform::ReadFile(victim, &victimText, 1 << 20));
      EXPECT_EQ(victimText.compare(0, 9, "#!/bin/sh"), 0) << "written through the link";
    }
  }
}

TEST_F(LaunchTest, AFailedExtractionRunsNothingFoundElsewhere) {
  // A program of that name on PATH and a directory in the way of the extraction.
  const std::string bin = root_ + "/bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  const std::string marker = root_ + "/searched_ran";
  WriteScript(bin + "/qvebupd.exe", "touch '" + marker + "'; exit 0");
  setenv("PATH", (bin + ":" + oldPath_).c_str(), 1);
  ASSERT_EQ(mkdir(Updater().c_str(), 0755), 0);

  Click();
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].Kind, BoxKind::Error);
  EXPECT_EQ(boxes_.boxes[0].Text, "Missing files");
  EXPECT_FALSE(platform::FileExists(marker));
  EXPECT_EQ(Log(), "");
}

TEST_F(LaunchTest, AnUnreadableCurrentDirectoryGivesMissingFilesAndWritesNothingElsewhere) {
  const std::string gone = root_ + "/gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
  ASSERT_EQ(chdir(gone.c_str()), 0);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  Click();
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].Text, "Missing files");
  EXPECT_EQ(form_.UpdaterDir, "");
  EXPECT_FALSE(platform::FileExists("/qvebupd.exe"));
}

TEST_F(LaunchTest, RunAndWaitStartsTheNamedFileOnlyAndAnyLineLength) {
  form_.ExtractUpdater();
  EXPECT_EQ(form_.RunAndWait("", 0), -1);
  EXPECT_EQ(form_.RunAndWait("no_such_program x", 0), -1);
  setenv("LAUNCH_EXIT", "7", 1);
  EXPECT_EQ(form_.RunAndWait("qvebupd.exe " + std::string(70000, 'b'), 0), 7);
  EXPECT_EQ(form_.RunAndWait(Updater() + " abs", 0), 7);
  EXPECT_EQ(FileSizeOnDisk(Updater()), Resource().size());
  EXPECT_EQ(FileSizeOnDisk(work_ + "/absent"), 0xFFFFFFFFu);
}

}  // namespace
