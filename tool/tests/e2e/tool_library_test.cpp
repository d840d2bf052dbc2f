// The window model over the real device-communication library, against the
// library's test peer on 127.0.0.1 (UDP, port chosen by the OS) and on a
// pseudo-terminal: what a preset, a read, a masked write and the diagnostics put
// on the wire and into the terminal.
#include <gtest/gtest.h>

#include <cstdlib>

#include "vordlix/testpeer/test_peer.h"
#include "tool/tests/fake_terminal.h"
#include "tool/uOEM.h"
#include "tool/vordlix.h"

namespace {

using vordlix::testpeer::TestPeer;

// Boxes only; the library is the real one.
class Boxes : public MessagePort {
 public:
  void Show(const MessageBoxRequest& box) override { shown.push_back(box.Text); }
  std::vector<std::string> shown;
};

class ToolOverLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VORDLIX_LOCAL_PORT", "0", 1);
    vordlix::ResetSeedGeneratorForTesting();
    form.Messages = &boxes;
    form.SleepMs = [](uint32_t) {};
  }
  TForm1 form;
  Boxes boxes;
};

TEST_F(ToolOverLibrary, PresetChainOverUdp) {
  auto peer = TestPeer::StartUdp();
  form.edtnetAddress.Text = " 127.0.0.1 ";
  form.edtNetPort.Text = std::to_string(peer->port());
  form.cbKeyLayouts.Select(4);
  form.Click(form.btnSetConfig);
  EXPECT_EQ(boxes.shown, (std::vector<std::string>{"Success!"}));
  EXPECT_EQ(form.DeviceHandle, 0);
  EXPECT_EQ(peer->GetOption("ShowCheckIn").value_or("?"), "1");
  EXPECT_EQ(peer->GetOption("VTRAKeyLayouts").value_or("?"), "432A3734303835233936414231323344919294933233");
  // Hidden options arrive masked: the first two masked writes of the run.
  EXPECT_EQ(peer->GetOption("~KeyLayout").value_or("?"), "C0F1");
  EXPECT_EQ(fake::Terminal::Unmask("~ShowState=" + peer->GetOption("~ShowState").value_or("")), "~ShowState=1");
  EXPECT_TRUE(peer->WaitFor([](const auto& log) { return !log.empty() && log.back().command == 1001; }, 2000));

  // Read back through the option panel.
  form.cbConfig.Text = "VTRAKeyLayouts";
  form.Click(form.btReadConfig);
  EXPECT_EQ(form.txtConfig.Text, "432A3734303835233936414231323344919294933233");
  form.cbConfig.Text = "NoSuchOption";
  form.Click(form.btReadConfig);
  EXPECT_EQ(form.txtConfig.Text, "");
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(ToolOverLibrary, DiagnosticsOverTheSerialLine) {
  auto peer = TestPeer::StartSerial();
  setenv("VORDLIX_COM7", peer->device().c_str(), 1);
  peer->SetOption("V0", "3.3V");
  peer->SetOption("V3", "ok");
  peer->SetOption("V4", "12");
  form.edtnetAddress.Text = "com7";
  form.edtNetPort.Text = "1";
  form.edtBaudRate.Text = "115200";
  form.Click(form.Button2);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(form.edtnetAddress.Text, "COM7");
  EXPECT_EQ(form.Edit1.Text, "3.3V");
  EXPECT_EQ(form.Edit2.Text, "");
  EXPECT_EQ(form.Edit3.Text, "");
  EXPECT_EQ(form.Edit5.Text, "ok");
  EXPECT_EQ(form.Edit4.Text, "12");
  unsetenv("VORDLIX_COM7");
}

}  // namespace
