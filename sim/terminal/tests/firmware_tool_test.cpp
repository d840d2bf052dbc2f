// The configuration tool's window model (its handlers, driven as clicks) over
// the real device-communication library, against the main-firmware stand-in
// served by the test peer on 127.0.0.1 (UDP) and on a pseudo-terminal: each
// operation ends with the terminal's option store holding what it should, hidden
// options plain in the store, every write applied once.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "sim/devices/flash_model.h"
#include "sim/terminal/main_firmware.h"
#include "tool/uOEM.h"
#include "tool/vordlix.h"
#include "vordlix/testpeer/test_peer.h"

namespace {

using sim::terminal::MainFirmware;
using vordlix::testpeer::TestPeer;

enum class Line { kUdp, kSerial };

class Boxes : public MessagePort {
 public:
  void Show(const MessageBoxRequest& box) override { shown.push_back(box.Text); }
  std::vector<std::string> shown;
};

class FirmwareUnderTool : public ::testing::TestWithParam<Line> {
 protected:
  void SetUp() override {
    setenv("VORDLIX_LOCAL_PORT", "0", 1);
    vordlix::ResetSeedGeneratorForTesting();
    firmware = std::make_shared<MainFirmware>(&flash);
    firmware->SetRestart([this] { ++restarts; });
    if (GetParam() == Line::kUdp) {
      peer = TestPeer::StartUdp(firmware);
      form.edtnetAddress.Text = "127.0.0.1";
      form.edtNetPort.Text = std::to_string(peer->port());
    } else {
      peer = TestPeer::StartSerial(firmware);
      setenv("VORDLIX_COM9", peer->device().c_str(), 1);
      form.sbtnRS232.Down = true;
      form.edtnetAddress.Text = "COM9";
      form.edtNetPort.Text = "1";
      form.edtBaudRate.Text = "115200";
    }
    form.Messages = &boxes;
    form.SleepMs = [](uint32_t) {};
  }
  void TearDown() override { unsetenv("VORDLIX_COM9"); }

  // The store, read under the peer's lock.
  std::optional<std::string> Stored(const std::string& name) { return peer->GetOption(name); }
  uint64_t Writes(const std::string& name) {
    uint64_t n = 0;
    peer->WithTerminal([&](sim::terminal::Terminal& t) { n = t.Options().Writes(name); });
    return n;
  }
  std::vector<std::string> Take() {
    auto out = boxes.shown;
    boxes.shown.clear();
    return out;
  }

  sim::FlashModel flash{0x22C4};
  std::shared_ptr<MainFirmware> firmware;
  std::unique_ptr<TestPeer> peer;
  std::atomic<int> restarts{0};
  TForm1 form;
  Boxes boxes;
};

const std::string kVtraR7 = "432A3734303835233936414231323344919294933233";

TEST_P(FirmwareUnderTool, KeyLayoutPresetsLandInTheStore) {
  struct Step {
    int index;
    std::vector<std::pair<std::string, std::string>> holds;
  };
  const Step steps[] = {
      {4, {{"ShowCheckIn", "1"}, {"~KeyLayout", "1"}, {"~ShowState", "1"}, {"VTRAKeyLayouts", kVtraR7}}},
      {5, {{"ShowCheckIn", "0"}, {"~KeyLayout", "0"}, {"~ShowState", "0"}, {"VTRAKeyLayouts", kVtraR7}}},
      {0, {{"ShowCheckin", "0"}, {"ShowCheckIn", "0"}}},
      {3, {{"VTRAKeyLayouts", "322A3023373839343536334344424131414231334443"}}},
      {6, {{"~PIN2Width", "9"}}},
      {7, {{"~PIN2Width", "5"}}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.index);
    form.cbKeyLayouts.Select(s.index);
    form.Click(form.btnSetConfig);
    EXPECT_EQ(Take(), (std::vector<std::string>{"Success!"}));
    EXPECT_EQ(form.DeviceHandle, 0);
    for (const auto& [name, value] : s.holds) EXPECT_EQ(Stored(name).value_or("?"), value) << name;
  }
  // The compare-before-write keeps repeated strings from being written twice.
  EXPECT_EQ(Writes("~ShowState"), 2u);  // index 4, then index 5
  EXPECT_EQ(Writes("VTRAKeyLayouts"), 2u);
  EXPECT_EQ(Writes("ShowCheckIn"), 1u);  // index 5 (it held 1 already for index 4)
  EXPECT_EQ(Writes("~PIN2Width"), 2u);
}

TEST_P(FirmwareUnderTool, OptionPanelSerialNumberAndOemIdentity) {
  form.cbConfig.Text = "\xD0\xF2\xC1\xD0\xBA\xC5";  // the serial-number item
  form.txtConfig.Text = "123456";
  form.Click(form.btWriteConfig);
  EXPECT_EQ(Take(), (std::vector<std::string>{"Success!"}));
  EXPECT_EQ(Stored("~SerialNumber").value_or("?"), "123456") << "plain in the store";
  form.txtConfig.Text = "";
  form.Click(form.btReadConfig);
  EXPECT_EQ(form.txtConfig.Text, "123456");

  form.cbConfig.Text = " Voices ";
  form.txtConfig.Text = " 12 ";
  form.Click(form.btWriteConfig);
  EXPECT_EQ(Take(), (std::vector<std::string>{"Success!"}));
  EXPECT_EQ(Stored("Voices").value_or("?"), "12");

  // A terminal that refuses the write: the diagnostic values are read-only.
  form.cbConfig.Text = "V0";
  form.txtConfig.Text = "x";
  form.Click(form.btWriteConfig);
  EXPECT_EQ(Take(), (std::vector<std::string>{"Save config fail!"}));

  // The OEM names: CP936 bytes, masked on the wire, plain in the store.
  form.edtOEMVender.Text = "\xC9\xCF\xBA\xA3 Works";
  form.edtProduct.Text = "Gate=7";
  form.Click(form.btnOpen);
  EXPECT_TRUE(Take().empty()) << "success shows nothing";
  EXPECT_EQ(Stored("~OEMVendor").value_or("?"), "\xC9\xCF\xBA\xA3 Works");
  EXPECT_EQ(Stored("~DeviceName").value_or("?"), "Gate=7");
  const auto log = peer->Log();
  bool masked_on_wire = false;
  for (const auto& p : log)
    if (p.command == 12 && std::string(p.data.begin(), p.data.end()).rfind("~DeviceName=", 0) == 0)
      masked_on_wire = std::string(p.data.begin(), p.data.end()).find("Gate") == std::string::npos;
  EXPECT_TRUE(masked_on_wire);
  // The same names again: read, compared, nothing written.
  form.Click(form.btnOpen);
  EXPECT_EQ(Writes("~OEMVendor"), 1u);
  EXPECT_EQ(Writes("~DeviceName"), 1u);
}

TEST_P(FirmwareUnderTool, VoiceAndDiagnostics) {
  char path[] = "/tmp/voices-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string ini = "[QZX]\nVoices=5\n";
  ASSERT_EQ(::write(fd, ini.data(), ini.size()), static_cast<ssize_t>(ini.size()));
  ::close(fd);
  form.VoiceConfig.reset(new IniVoiceConfig(path));
  // The store in a file, as the simulated terminal keeps it.
  const std::string store = std::string(path) + ".options";
  std::string error;
  peer->WithTerminal([&](sim::terminal::Terminal&) { ASSERT_TRUE(firmware->OpenStore(store, &error)) << error; });
  form.cbVoices.Select(0);
  form.Click(form.btnSetVoices);
  ::unlink(path);
  EXPECT_EQ(Take(), (std::vector<std::string>{"Success!"}));
  EXPECT_EQ(Stored("Voices").value_or("?"), "5");
  std::ifstream file(store);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("\nVoices=5\n"), std::string::npos) << text;
  ::unlink(store.c_str());

  form.Click(form.Button2);
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(form.Edit1.Text, "QMSIM 1.0");
  EXPECT_EQ(form.Edit2.Text, std::to_string(MainFirmware::Defaults().size()));
  EXPECT_EQ(form.Edit3.Text, "1") << "one write so far";
  EXPECT_FALSE(form.Edit5.Text.empty());
  EXPECT_EQ(form.Edit4.Text, "0") << "no image written";
}

// Lost and late replies: the library sends the request again, the terminal
// answers from the stored reply, and every write is applied once.
TEST_P(FirmwareUnderTool, LostRepliesDoNotApplyAWriteTwice) {
  peer->InjectFault(vordlix::testpeer::Fault::kDropReply, 12, 1);
  peer->InjectFault(vordlix::testpeer::Fault::kLate, 12, 2, 400);
  peer->InjectFault(vordlix::testpeer::Fault::kDropReply, 12, 3);
  form.cbKeyLayouts.Select(4);
  form.Click(form.btnSetConfig);
  EXPECT_EQ(Take(), (std::vector<std::string>{"Success!"}));
  for (const char* name : {"~KeyLayout", "~ShowState", "VTRAKeyLayouts"}) EXPECT_EQ(Writes(name), 1u) << name;
  EXPECT_EQ(Stored("~ShowState").value_or("?"), "1");
  int repeats = 0;
  for (const auto& p : peer->Log()) repeats += p.repeat;
  EXPECT_GE(repeats, 2);
}

TEST_P(FirmwareUnderTool, RefusedConnection) {
  peer->SetSilent(true);
  form.cbKeyLayouts.Select(1);
  form.Click(form.btnSetConfig);
  EXPECT_EQ(Take(), (std::vector<std::string>{"Can not connect to the device"}));
}

// The boot updater's sequence through the library: 1003, the image with 110,
// 1004; the image lands at flash offset 0 and the terminal restarts.
TEST_P(FirmwareUnderTool, UpdaterSequenceWritesTheBootArea) {
  const int32_t h = GetParam() == Line::kUdp
                        ? VORDLIX_INIT("vxnet.dll", "127.0.0.1", peer->port(), 0, 0, 0)
                        : VORDLIX_INIT("vxserial.dll", "COM9", 1, 115200, 0, 0);
  ASSERT_NE(h, 0);
  std::vector<uint8_t> image(20464);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
  uint16_t reply = 1003;
  VORDLIX_SENDCMD(h, &reply, nullptr, 0, 0, 1000);
  EXPECT_EQ(reply, 2000);
  reply = 110;
  const uint8_t params[8] = {};
  VORDLIX_SENDCMDDATA(h, &reply, image.data(), static_cast<int32_t>(image.size()), params, 8, 10000);
  EXPECT_EQ(reply, 2000);
  reply = 1004;
  VORDLIX_SENDCMD(h, &reply, nullptr, 0, 0, 1000);
  VORDLIX_CLOSE(h);
  EXPECT_TRUE(peer->WaitFor([&](const auto&) { return restarts == 1; }, 2000) || restarts == 1);
  peer->WithTerminal([&](sim::terminal::Terminal&) {
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.data()));
  });
  EXPECT_EQ(firmware->ImagesWritten(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lines, FirmwareUnderTool, ::testing::Values(Line::kUdp, Line::kSerial),
                         [](const auto& info) { return info.param == Line::kUdp ? "Udp" : "Serial"; });

}  // namespace
