// The program in-process against the main-firmware personality served by the
// library's test peer on 127.0.0.1 (and once on a pseudo-terminal): the window's
// operations, their refusals, an unreachable terminal, JSON output, flash reads
// and the boot-loader update with its read-back, retries and restore.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "cli/tests/test_host.h"
#include "sim/devices/flash_model.h"
#include "sim/terminal/main_firmware.h"
#include "vordlix/testpeer/test_peer.h"

namespace {

using clitest::Result;
using clitest::RunCli;
using sim::terminal::MainFirmware;
using vordlix::testpeer::TestPeer;

// A main firmware whose flash silently loses a byte in the next `corrupt`
// boot-loader writes of `corrupt_size` bytes: the write is reported done.
class CorruptingFirmware : public MainFirmware {
 public:
  explicit CorruptingFirmware(sim::FlashModel* flash) : MainFirmware(flash), flash_(flash) {}
  uint16_t StoreBlock(uint32_t target, uint32_t parameter, const sim::terminal::Bytes& block) override {
    const uint16_t r = MainFirmware::StoreBlock(target, parameter, block);
    if (r == 0 && target == 0 && corrupt > 0 && block.size() == corrupt_size) {
      --corrupt;
      flash_->data()[0x40] ^= 0x5A;
    }
    ++stores;
    return r;
  }
  int corrupt = 0;
  size_t corrupt_size = 0;
  int stores = 0;

 private:
  sim::FlashModel* flash_;
};

std::string Pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s[i] = char(seed >> 16);
  }
  return s;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

class CliFirmware : public ::testing::Test {
 protected:
  void SetUp() override {
    original = Pattern(0x10000, 7);
    flash.set_contents(0, std::vector<uint8_t>(original.begin(), original.end()));
    peer = TestPeer::StartUdp(firmware);
  }
  std::vector<std::string> Args(std::vector<std::string> rest) {
    std::vector<std::string> a = {"--address", "127.0.0.1", "--port", std::to_string(peer->port())};
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
  }
  std::string Option(const std::string& name) { return firmware->Options().Get(name).value_or("<none>"); }
  int Count(uint16_t command) {
    int n = 0;
    for (const auto& p : peer->Log()) n += p.command == command;
    return n;
  }
  std::string Flash(uint32_t offset, size_t n) { return std::string(reinterpret_cast<char*>(flash.data()) + offset, n); }

  sim::FlashModel flash{0x22C4};
  std::shared_ptr<CorruptingFirmware> firmware = std::make_shared<CorruptingFirmware>(&flash);
  std::unique_ptr<TestPeer> peer;
  std::string original;
};

TEST_F(CliFirmware, WindowOperationsReachTheTerminal) {
  Result r = RunCli(Args({"set", " ShowCheckIn = 0 ", "~PIN2Width=9"}));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "ShowCheckIn: Success!\n~PIN2Width: Success!\n");
  EXPECT_EQ(r.slept, 300u) << "the settle pause of a write";
  EXPECT_EQ(Option("ShowCheckIn"), "0");
  EXPECT_EQ(Option("~PIN2Width"), "9") << "masked on the wire, plain in the store";

  r = RunCli(Args({"get", "ShowCheckIn", "~SerialNumber", "NoSuchOption"}));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "ShowCheckIn=0\n~SerialNumber=000000\nNoSuchOption=\n");
  EXPECT_EQ(r.slept, 0u) << "a read makes no pause";

  r = RunCli(Args({"preset", "R7 In/Out"}));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Success!\n");
  EXPECT_EQ(Option("ShowCheckIn"), "1");
  EXPECT_EQ(Option("~KeyLayout"), "1");
  EXPECT_EQ(Option("~ShowState"), "1");
  EXPECT_EQ(Option("VTRAKeyLayouts"), "432A3734303835233936414231323344919294933233");
  r = RunCli(Args({"preset", "0"}));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(Option("ShowCheckin"), "0") << "index 0 writes the lower-case name";

  r = RunCli(Args({"serial", " 12345"}));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Option("~SerialNumber"), "12345") << "six bytes as typed, sent trimmed";

  r = RunCli(Args({"set", "序列号=$00FFF"}));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Option("~SerialNumber"), "$00FFF") << "the window's serial-number item, sent as typed";
  r = RunCli(Args({"get", "序列号"}));
  EXPECT_EQ(r.out, "~SerialNumber=$00FFF\n");
  EXPECT_EQ(RunCli(Args({"set", "序列号=12345"})).code, qcli::kExitRefused);

  r = RunCli(Args({"oem", "--vendor", "厂商", "--product", "ABCDEFGHIJKLMNOPQRS"}));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Option("~OEMVendor"), "\xB3\xA7\xC9\xCC") << "UTF-8 on the console, code page 936 on the terminal";
  EXPECT_EQ(Option("~DeviceName"), "ABCDEFGHIJKLMNOP");
  EXPECT_NE(r.err.find("cut to 16 bytes"), std::string::npos);

  const std::string voices = clitest::TempPath("voices.ini");
  std::ofstream(voices) << "[QZX]\nVoices=5\n[Empty]\nVoices=\n";
  r = RunCli(Args({"voice", "QZX", "--voices", voices}));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Option("Voices"), "5");

  r = RunCli(Args({"diag"}));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out.rfind("V0=QMSIM 1.0\nV1=", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\nV4=0\n"), std::string::npos) << r.out;

  r = RunCli(Args({"version"}));
  EXPECT_EQ(r.out, "QMSIM 1.0 main firmware\n");

  r = RunCli(Args({"restart"}));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(Count(1004), 1);
}

TEST_F(CliFirmware, AWriteOfWhatTheTerminalHoldsCostsAReadOnly) {
  peer->ClearLog();
  const Result r = RunCli(Args({"set", "ShowCheckIn=1", "~ShowState=0", "Voices=0"}));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(Count(11), 3);
  EXPECT_EQ(Count(12), 0);
}

TEST_F(CliFirmware, RefusedInputSendsNothing) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string text;
  } cases[] = {
      {{"serial", "12345"}, qcli::kExitRefused, "序列号长度不对"},
      {{"serial", "12345A"}, qcli::kExitRefused, "序列号非法"},
      {{"serial", "12345 "}, qcli::kExitRefused, "序列号非法"},
      {{"preset", "8"}, qcli::kExitRefused, "no preset \"8\""},
      {{"set", " =1"}, qcli::kExitRefused, "Pls select a Value"},
      {{"set", "ShowCheckIn"}, qcli::kExitUsage, "NAME=VALUE"},
      {{"firmware", "write", "/dev/null", "--load-address", "0x20000000"}, qcli::kExitRefused, "is below 0x80000000"},
      {{"firmware", "write", "/dev/null", "--load-address", "0xA0201000"}, qcli::kExitRefused, "0x10000"},
      {{"flash", "read", "--out", "/dev/null", "--offset", "0x1FFFFF", "--length", "2"}, qcli::kExitRefused,
       "end of the 2 MB flash"},
      {{"boot", "update", "--image", "/no/such/file"}, qcli::kExitRefused, "cannot read the image"},
      {{"frobnicate"}, qcli::kExitUsage, "unknown command"},
  };
  peer->ClearLog();
  for (const Case& c : cases) {
    const Result r = RunCli(Args(c.args));
    EXPECT_EQ(r.code, c.code) << c.args[0] << " " << c.args.back() << ": " << r.err;
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
  }
  EXPECT_TRUE(peer->Log().empty()) << "nothing reached the terminal";
  EXPECT_EQ(Option("~SerialNumber"), "000000");
}

TEST_F(CliFirmware, AnUnreachableTerminalIsNamed) {
  peer->SetSilent(true);
  const std::string name = "127.0.0.1:" + std::to_string(peer->port());
  Result r = RunCli(Args({"version"}));
  EXPECT_EQ(r.code, qcli::kExitNoConnection);
  EXPECT_EQ(r.err, "quelmark: " + name + ": Can not connect to the device\n");
  r = RunCli(Args({"oem", "--vendor", "A", "--product", "B"}));
  EXPECT_EQ(r.code, qcli::kExitNoConnection);
  EXPECT_EQ(r.err, "quelmark: " + name + ": 不能连接设备！\n") << "the OEM writer's own message";
  r = RunCli({"--address", " com9 ", "--baud", "fast", "version"});
  EXPECT_EQ(r.code, qcli::kExitUsage);
  EXPECT_EQ(r.err, "quelmark: COM9: 'fast' is not a valid integer value.\n") << "the baud rate converted first";
}

TEST_F(CliFirmware, JsonIsOneObjectAndNoProgress) {
  Result r = RunCli(Args({"--json", "version"}));
  EXPECT_EQ(r.out, "{\"terminal\":\"127.0.0.1:" + std::to_string(peer->port()) +
                       "\",\"ok\":true,\"exit\":0,\"command\":\"version\",\"version\":\"QMSIM 1.0 main firmware\"}\n");
  const std::string out = clitest::TempPath("part.bin");
  r = RunCli(Args({"--json", "flash", "read", "--out", out, "--offset", "0x1000", "--length", "5000"}));
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\"length\":5000"), std::string::npos) << r.out;
  EXPECT_EQ(ReadFile(out), Flash(0x1000, 5000));
  r = RunCli(Args({"flash", "read", "--out", out, "--length", "$20000"}));
  EXPECT_NE(r.err.find("reading flash: 131072/131072 bytes"), std::string::npos) << "plain lines: " << r.err;
}

TEST_F(CliFirmware, BootUpdateWritesAgainWhenTheReadBackDiffers) {
  const std::string image = Pattern(20464, 99);
  const std::string backup = clitest::TempPath("backup1.bin");
  firmware->corrupt = 1;
  firmware->corrupt_size = image.size();
  peer->ClearLog();
  const Result r = RunCli(Args({"--json", "boot", "update", "--backup", backup}), image);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\"writes\":2,\"restored\":false"), std::string::npos) << r.out;
  EXPECT_EQ(Flash(0, image.size()), image);
  EXPECT_EQ(Flash(image.size(), 0x10000 - image.size()), original.substr(image.size())) << "the rest kept";
  EXPECT_EQ(ReadFile(backup), original) << "the boot area as it was";
  EXPECT_EQ(Count(1003), 2);
  std::vector<uint16_t> commands;
  for (const auto& p : peer->Log())
    if (p.command == 111 || p.command == 1004) commands.push_back(p.command);
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), 1004) << "ends as the boot updater does, after the read-back";

  EXPECT_EQ(RunCli(Args({"boot", "verify"}), image).code, 0);
  const Result other = RunCli(Args({"boot", "verify"}), Pattern(20464, 100));
  EXPECT_EQ(other.code, qcli::kExitMismatch);
  EXPECT_NE(other.err.find("differs from the image at offset 0x000000"), std::string::npos) << other.err;
}

TEST_F(CliFirmware, BootUpdateRestoresTheBackupWhenEveryWriteDiffers) {
  const std::string image = Pattern(20464, 5);
  firmware->corrupt = 100;
  firmware->corrupt_size = image.size();
  const Result r = RunCli(Args({"boot", "update", "--backup", clitest::TempPath("backup2.bin")}), image);
  EXPECT_EQ(r.code, qcli::kExitMismatch);
  EXPECT_NE(r.err.find("at offset 0x000040 after 3 writes; the backup was restored"), std::string::npos) << r.err;
  EXPECT_EQ(firmware->stores, 4) << "three writes of the image, one of the backup";
  EXPECT_EQ(Flash(0, 0x10000), original);
  EXPECT_EQ(Count(1004), 0) << "no restart into a boot loader that was not written";
}

TEST(CliFirmwareSerial, TheSerialLineIsChosenByTheAddress) {
  auto firmware = std::make_shared<MainFirmware>();
  auto peer = TestPeer::StartSerial(firmware);
  setenv("VORDLIX_COM7", peer->device().c_str(), 1);
  const Result r = RunCli({"--address", " com7", "--baud", "$1C200", "version"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "QMSIM 1.0 main firmware\n");
  unsetenv("VORDLIX_COM7");
}

}  // namespace

namespace {

// On a terminal the progress is a bar redrawn in place, with bytes and rate.
class TtyHost : public clitest::TestHost {
 public:
  bool ErrIsTerminal() override { return true; }
};

TEST_F(CliFirmware, ProgressIsABarOnATerminal) {
  TtyHost host;
  const std::string out = clitest::TempPath("bar.bin");
  const int code = qcli::Main(host, Args({"flash", "read", "--out", out, "--length", "0x40000"}));
  EXPECT_EQ(code, 0) << host.err;
  EXPECT_EQ(host.err.rfind("\rreading flash [", 0), 0u) << host.err;
  EXPECT_NE(host.err.find("[##############################] 262144/262144 bytes, "), std::string::npos) << host.err;
  EXPECT_EQ(host.err.back(), '\n');
  EXPECT_EQ(host.err.find("reading flash: "), std::string::npos) << "no plain lines";
}

}  // namespace

namespace {

// A flash whose programming fails at one halfword every time: every write is
// refused (110 error 4), the boot area may be left erased, and restoring the
// backup needs the same halfword: the command says the backup could not be put
// back, and where it is.
TEST_F(CliFirmware, BootUpdateSaysWhenEvenTheRestoreFails) {
  flash.fail_program(0x40, -1);
  const std::string backup = clitest::TempPath("backup3.bin");
  const Result r = RunCli(Args({"boot", "update", "--backup", backup}), Pattern(20464, 11));
  EXPECT_EQ(r.code, qcli::kExitRestoreFailed);
  EXPECT_NE(r.err.find("restoring the backup failed too"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("backup of the boot area saved to " + backup), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(backup), original);
  EXPECT_EQ(Count(1004), 0);
}

}  // namespace

namespace {

// Programming that fails at one halfword for longer than the terminal's own
// 101 attempts: the terminal refuses that write (110 error 4) and the
// transfer's next attempt writes the image.
TEST_F(CliFirmware, BootUpdateAfterAFlashFailureThatTheTerminalReports) {
  flash.fail_program(0x40, 101);
  const std::string image = Pattern(20464, 12);
  const Result r = RunCli(Args({"--json", "boot", "update", "--backup", clitest::TempPath("backup4.bin")}), image);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("\"writes\":1,"), std::string::npos) << r.out;
  EXPECT_EQ(Count(1003), 2) << "two attempts of the one write";
  EXPECT_EQ(Flash(0, image.size()), image);
}

}  // namespace
