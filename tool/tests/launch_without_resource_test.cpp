// A tool that carries no updater runs nothing: neither a program of that name
// found on PATH nor a file of that name someone left in the current directory.
#include "tool/tests/launch_fixture.h"
#include "platform/resource.h"

namespace {

TEST_F(LaunchTest, WithoutTheResourceNothingIsRunAndTheMessageIsMissingFiles) {
  ASSERT_EQ(platform::FindResource("QVEBUPD"), nullptr);
  const std::string bin = root_ + "/bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  const std::string marker = root_ + "/ran";
  WriteScript(bin + "/qvebupd.exe", "touch '" + marker + "'");
  setenv("PATH", (bin + ":" + oldPath_).c_str(), 1);

  for (bool leftBehind : {false, true}) {
    SCOPED_TRACE(leftBehind ? "a file left in the current directory" : "no file");
    if (leftBehind) WriteScript(Updater(), "touch '" + marker + "'");
    boxes_.boxes.clear();
    Click();
    ASSERT_EQ(boxes_.boxes.size(), 1u);
    EXPECT_EQ(boxes_.boxes[0].Kind, BoxKind::Error);
    EXPECT_EQ(boxes_.boxes[0].Text, "Missing files");
    EXPECT_FALSE(platform::FileExists(marker));
    EXPECT_FALSE(platform::FileExists(Updater()));
  }
}

}  // namespace
