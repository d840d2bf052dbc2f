// The "Update" button end to end: the tool carries the real qvebupd, writes it,
// runs it against the library's test peer on 127.0.0.1 and shows its outcome.
// The ARP utility is a recorder (QVEBUPD_ARP and first on PATH as "ip").
#include <algorithm>

#include "testing/arp_recorder.h"
#include "tool/tests/launch_fixture.h"

#include "vordlix/testpeer/test_peer.h"

namespace {

using vordlix::testpeer::Reply;
using vordlix::testpeer::TestPeer;

class LaunchQvebupd : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    arpLog_ = arp_.log();
    setenv("PATH", (arp_.dir() + ":" + oldPath_).c_str(), 1);
    setenv("QVEBUPD_ARP", arp_.program().c_str(), 1);
    setenv("VORDLIX_LOCAL_PORT", "0", 1);
    peer_ = TestPeer::StartUdp();
    form_.edtnetAddress.Text = "127.0.0.1";
    form_.edtNetPort.Text = std::to_string(peer_->port());
  }
  void TearDown() override {
    unsetenv("QVEBUPD_ARP");
    unsetenv("VORDLIX_LOCAL_PORT");
    LaunchTest::TearDown();
  }
  std::vector<int> UpdaterCommands() const {
    std::vector<int> v;
    for (const auto& p : peer_->Log()) {
      if (!p.repeat && (p.command == 1003 || p.command == 110 || p.command == 1004)) v.push_back(p.command);
    }
    return v;
  }
  qtest::ArpRecorder arp_;
  std::string arpLog_;
  std::unique_ptr<TestPeer> peer_;
};

TEST_F(LaunchQvebupd, AnAcceptedImageEndsWithUpdateSuccessAndTheWindowClosed) {
  Click();
  ASSERT_EQ(boxes_.boxes.size(), 1u);
  EXPECT_EQ(boxes_.boxes[0].Kind, BoxKind::Information);
  EXPECT_EQ(boxes_.boxes[0].Text, "Update success!");
  EXPECT_EQ(closeRequests_, 1);
  EXPECT_EQ(captionAtClose_, "Finish");
  EXPECT_EQ(UpdaterCommands(), (std::vector<int>{1003, 110, 1004}));
  EXPECT_FALSE(platform::FileExists(Updater()));
}

TEST_F(LaunchQvebupd, RefusalsAndBadPortsGiveTheirMessages) {
  peer_->SetReply(110, Reply{2001, {}});
  Click();
  form_.edtNetPort.Text = "abc";
  Click();
  ASSERT_EQ(boxes_.boxes.size(), 2u);
  EXPECT_EQ(boxes_.boxes[0].Text, "Update Fail!");
  EXPECT_EQ(boxes_.boxes[1].Text, "Parameter error");
  EXPECT_EQ(boxes_.boxes[1].Kind, BoxKind::Error);
  EXPECT_EQ(closeRequests_, 0);
  const std::vector<int> commands = UpdaterCommands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), 110), 5);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), 1004), 0);
  EXPECT_FALSE(platform::FileExists(Updater()));
}

}  // namespace

