// The ARP layer: ARP.EXE's parameters as iproute2 requests, the choice of the
// utility, and real starts, always of a recorder, never of the machine's `ip`:
// the recorder is named by QVEBUPD_ARP and also stands first on PATH as "ip".
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

#include "testing/arp_recorder.h"
#include "updater/arp.h"

namespace {

TEST(ArpArguments, DeletionsBecomeNeighbourFlushes) {
  using V = std::vector<std::string>;
  EXPECT_EQ(qvebupd::ArpArguments("-d *"), (V{"neigh", "flush", "all"}));
  EXPECT_EQ(qvebupd::ArpArguments("-d 192.168.1.201"), (V{"neigh", "flush", "to", "192.168.1.201"}));
  // The address stays one word, whatever it holds.
  EXPECT_EQ(qvebupd::ArpArguments("-d A B; rm -rf /"), (V{"neigh", "flush", "to", "A B; rm -rf /"}));
  EXPECT_EQ(qvebupd::ArpArguments("-d "), (V{"neigh", "flush", "to", ""}));
  EXPECT_TRUE(qvebupd::ArpArguments("-s 1.2.3.4").empty());
  EXPECT_TRUE(qvebupd::ArpArguments("").empty());
}

class ArpRecorder : public ::testing::Test {
 protected:
  void SetUp() override {
    recorder_ = arp_.program();
    log_ = arp_.log();
    dir_ = arp_.dir();
    const char* path = getenv("PATH");
    savedPath_ = path ? path : "";
    setenv("PATH", (dir_ + ":" + savedPath_).c_str(), 1);
    setenv(qvebupd::kArpUtilityVariable, recorder_.c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", savedPath_.c_str(), 1);
    unsetenv(qvebupd::kArpUtilityVariable);
  }
  std::string Log(std::size_t lines) {
    std::string text;
    for (int i = 0; i < 1000; ++i) {
      std::ifstream f(log_);
      std::stringstream s;
      s << f.rdbuf();
      text = s.str();
      if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return text;
  }
  qtest::ArpRecorder arp_;
  std::string dir_, log_, recorder_, savedPath_;
};

TEST_F(ArpRecorder, TheVariableWinsThenPath) {
  EXPECT_EQ(qvebupd::ArpUtility(), recorder_);
  const std::string other = dir_ + "/other";
  setenv(qvebupd::kArpUtilityVariable, other.c_str(), 1);
  EXPECT_EQ(qvebupd::ArpUtility(), other);
  setenv(qvebupd::kArpUtilityVariable, "", 1);
  EXPECT_EQ(qvebupd::ArpUtility(), recorder_) << "the first ip on PATH";
}

TEST_F(ArpRecorder, StartsTheRequestsAndDoesNotWait) {
  ASSERT_EQ(qvebupd::ArpUtility(), recorder_) << "refusing to run the real utility";
  ASSERT_TRUE(qvebupd::StartArpRequest("-d *"));
  EXPECT_EQ(Log(1), "neigh flush all\n");
  ASSERT_TRUE(qvebupd::StartArpRequest("-d 127.0.0.9"));
  EXPECT_EQ(Log(2), "neigh flush all\nneigh flush to 127.0.0.9\n");
  EXPECT_FALSE(qvebupd::StartArpRequest("-s x")) << "nothing but deletions";
}

}  // namespace
