// Shared by the launch tests: a fresh current directory per test, a message-box
// recorder, the window's close request recorded, and the stand-in's log.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tool/uOEM.h"

class BoxRecorder : public MessagePort {
 public:
  void Show(const MessageBoxRequest& box) override { boxes.push_back(box); }
  std::vector<MessageBoxRequest> boxes;
};

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/launch_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    work_ = root_ + "/work";
    ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
    oldCwd_ = platform::CurrentDirectory();
    ASSERT_EQ(chdir(work_.c_str()), 0);
    log_ = root_ + "/log";
    setenv("LAUNCH_LOG", log_.c_str(), 1);
    unsetenv("LAUNCH_EXIT");
    unsetenv("LAUNCH_SIGNAL");
    const char* path = getenv("PATH");
    oldPath_ = path ? path : "";
    form_.Messages = &boxes_;
    form_.OnCloseRequest = [this] {
      ++closeRequests_;
      captionAtClose_ = form_.btnUpdateBoot.Text;
      boxesAtClose_ = boxes_.boxes.size();
      fileAtClose_ = platform::FileExists(work_ + "/qvebupd.exe");
    };
  }
  void TearDown() override {
    if (chdir(oldCwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << oldCwd_;
    setenv("PATH", oldPath_.c_str(), 1);
    std::system(("rm -rf '" + root_ + "'").c_str());
  }

  std::string Updater() const { return work_ + "/qvebupd.exe"; }
  std::string Log() const {
    std::ifstream f(log_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  // An executable script, padded with a comment to exactly `size` bytes when given.
  static void WriteScript(const std::string& path, const std::string& body, std::size_t size = 0) {
    std::string text = "#!/bin/sh\n" + body + "\n#";
    if (size > text.size() + 1) text += std::string(size - text.size() - 1, 'x');
    text += "\n";
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), 0755);
  }
  void Click() { form_.Click(form_.btnUpdateBoot); }

  TForm1 form_;
  BoxRecorder boxes_;
  int closeRequests_ = 0;
  std::string captionAtClose_;
  std::size_t boxesAtClose_ = 0;
  bool fileAtClose_ = false;
  std::string root_, work_, log_, oldCwd_, oldPath_;
};
