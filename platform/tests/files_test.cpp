// Files: size, content check, the replacing write (never through a link), deletion.
#include "platform/files.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <gtest/gtest.h>

namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/files_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string dir_;
};

TEST_F(Files, CurrentDirectoryAndSizeAndExistence) {
  char* cwd = get_current_dir_name();
  EXPECT_EQ(platform::CurrentDirectory(), std::string(cwd));
  free(cwd);
  const std::string f = dir_ + "/f";
  EXPECT_FALSE(platform::FileExists(f));
  uint64_t size = 99;
  EXPECT_FALSE(platform::FileSize(f, &size));
  std::ofstream(f) << std::string(1234, 'x');
  EXPECT_TRUE(platform::FileExists(f));
  ASSERT_TRUE(platform::FileSize(f, &size));
  EXPECT_EQ(size, 1234u);
  EXPECT_TRUE(platform::DeleteFile(f));
  EXPECT_FALSE(platform::FileExists(f));
  EXPECT_FALSE(platform::DeleteFile(f));
}

TEST_F(Files, ContentCheckComparesEveryByteTypeAndPermission) {
  const std::string f = dir_ + "/prog";
  const std::string data("\x7f" "ELF\0\1\2", 7);
  EXPECT_FALSE(platform::IsExecutableWithContent(f, data)) << "missing";
  ASSERT_TRUE(platform::ReplaceFile(f, data, 0755));
  EXPECT_TRUE(platform::IsExecutableWithContent(f, data));

  std::string sameSize = data;
  sameSize[6] = '\3';
  EXPECT_FALSE(platform::IsExecutableWithContent(f, sameSize));
  EXPECT_FALSE(platform::IsExecutableWithContent(f, data + "x"));

  chmod(f.c_str(), 0644);
  EXPECT_FALSE(platform::IsExecutableWithContent(f, data)) << "not executable";

  const std::string link = dir_ + "/link";
  ASSERT_TRUE(platform::ReplaceFile(f, data, 0755));
  ASSERT_EQ(symlink(f.c_str(), link.c_str()), 0);
  EXPECT_FALSE(platform::IsExecutableWithContent(link, data)) << "a link is never trusted";
}

TEST_F(Files, ReplaceWritesWholeFilesAndReplacesLinksInsteadOfFollowingThem) {
  const std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "precious";
  const std::string path = dir_ + "/qvebupd.exe";
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);

  ASSERT_TRUE(platform::ReplaceFile(path, "new bytes", 0755));
  std::string s;
  ASSERT_TRUE(platform::ReadFile(victim, &s, 100));
  EXPECT_EQ(s, "precious");
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  ASSERT_TRUE(platform::ReadFile(path, &s, 100));
  EXPECT_EQ(s, "new bytes");

  // Shorter contents truncate; nothing of the old file remains, no temp file is left.
  ASSERT_TRUE(platform::ReplaceFile(path, "ab", 0755));
  ASSERT_TRUE(platform::ReadFile(path, &s, 100));
  EXPECT_EQ(s, "ab");
  EXPECT_FALSE(platform::ReadFile(path, &s, 1)) << "beyond the read limit";
  EXPECT_EQ(std::system(("test $(ls '" + dir_ + "' | wc -l) -eq 2").c_str()), 0);

  EXPECT_FALSE(platform::ReplaceFile(dir_ + "/no/such/dir/f", "x", 0755));
}

}  // namespace
