// The boot updater's whole logic in-process, against a recording fake of the
// library, console, ARP utility and clock: arguments and their defaults, the
// console bytes, the exit codes, the ARP flush and the five-attempt transfer.
#include <gtest/gtest.h>

#include "updater/tests/fake_host.h"
#include "updater/qvebupd.h"

namespace {

using Words = std::vector<std::string>;

std::string Success(const std::string& address, int port) {
  return "Connect to device with " + address + ", " + std::to_string(port) +
         " ... OK!\r\nUpgrading bootloader, Please wait... \r\nOK! Please Restart the device.\r\n";
}

Words NetworkConnect(const std::string& upper, int port) {
  return {"ARP -d *", "ARP -d 192.168.1.201", "ARP -d " + upper, "SLEEP 1000",
          "INIT vxnet.dll " + upper + " " + std::to_string(port) + " 0 0 0"};
}

Words SerialConnect(const std::string& upper, int port) {
  return {"INIT vxserial.dll " + upper + " " + std::to_string(port) + " 115200 0 0"};
}

const Words kSuccessfulTransfer = {"CMD 1003", "DATA 110", "CMD 1004", "CLOSE 77"};

struct ArgumentCase {
  const char* what;
  Words args;
  std::string shown;  // address on the connecting line
  int port;
  Words connect;      // the log between loading the image and the first command
};

TEST(UpdaterArguments, ConnectAsTheArgumentsSay) {
  const ArgumentCase cases[] = {
      {"none: the defaults", {}, "192.168.1.201", 4370, NetworkConnect("192.168.1.201", 4370)},
      {"COM1 alone: device ID 1", {"COM1"}, "COM1", 1, SerialConnect("COM1", 1)},
      {"com1 alone: serial, but the default looks at the text as given",
       {"com1"}, "com1", 4370, SerialConnect("COM1", 4370)},
      {"a host named com...: a serial port name", {"comserver"}, "comserver", 4370,
       SerialConnect("COMSERVER", 4370)},
      {"one network address", {"10.0.0.5"}, "10.0.0.5", 4370, NetworkConnect("10.0.0.5", 4370)},
      {"lower case is shown as given, sent upper-cased", {"host.lan"}, "host.lan", 4370,
       NetworkConnect("HOST.LAN", 4370)},
      {"two, hexadecimal with $", {"192.168.1.201", "$1112"}, "192.168.1.201", 4370,
       NetworkConnect("192.168.1.201", 4370)},
      {"two, 0x", {"127.0.0.1", "0x1112"}, "127.0.0.1", 4370, NetworkConnect("127.0.0.1", 4370)},
      {"two, decimal with blanks before", {"127.0.0.1", "  5005"}, "127.0.0.1", 5005,
       NetworkConnect("127.0.0.1", 5005)},
      {"a third is ignored", {"COM2", "3", "whatever"}, "COM2", 3, SerialConnect("COM2", 3)},
      {"negative device IDs other than -1 pass", {"COM1", "-2"}, "COM1", -2,
       SerialConnect("COM1", -2)},
      {"an empty address", {"", "4370"}, "", 4370, NetworkConnect("", 4370)},
  };
  for (const ArgumentCase& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost host;
    qvebupd::Updater updater(host);
    EXPECT_EQ(updater.Main(c.args), 0);
    EXPECT_EQ(host.out, Success(c.shown, c.port));
    EXPECT_EQ(host.err, "");
    Words expected = {"RESOURCE F_DATA"};
    expected.insert(expected.end(), c.connect.begin(), c.connect.end());
    ASSERT_GE(host.log.size(), expected.size());
    EXPECT_EQ(Words(host.log.begin(), host.log.begin() + expected.size()), expected);
    EXPECT_EQ(host.Commands(), kSuccessfulTransfer);
  }
}

TEST(UpdaterArguments, ABadSecondArgumentEndsWithOneBeforeAnything) {
  const char* bad[] = {"abc", "", "12ab", "-1", "$FFFFFFFF", "-$1", "4370 ", "+", "1.5"};
  for (const char* port : bad) {
    SCOPED_TRACE(port);
    FakeHost host;
    qvebupd::Updater updater(host);
    EXPECT_EQ(updater.Main({"127.0.0.1", port}), 1);
    EXPECT_EQ(host.out, "");
    EXPECT_EQ(host.err, "");
    EXPECT_TRUE(host.log.empty()) << host.log.front();
  }
}

TEST(UpdaterConnect, NoConnectionPrintsFailAndEndsWith100WithoutClosing) {
  for (const Words& args : {Words{}, Words{"COM3"}}) {
    FakeHost host;
    host.handle = 0;
    qvebupd::Updater updater(host);
    EXPECT_EQ(updater.Main(args), 100);
    const std::string shown = args.empty() ? "192.168.1.201, 4370" : "COM3, 1";
    EXPECT_EQ(host.out, "Connect to device with " + shown + " ... Fail!\r\n");
    EXPECT_TRUE(host.Commands().empty());
  }
}

TEST(UpdaterTransfer, AFailedFirstAttemptIsRepeatedAtOnce) {
  FakeHost host;
  host.replies110 = {2001};
  host.reply1004 = 0;  // the answer to 1004 carries no weight
  qvebupd::Updater updater(host);
  EXPECT_EQ(updater.Main({"127.0.0.1", "4370"}), 0);
  EXPECT_EQ(host.Commands(),
            (Words{"CMD 1003", "DATA 110", "CMD 1003", "DATA 110", "CMD 1004", "CLOSE 77"}));
  EXPECT_EQ(host.out, Success("127.0.0.1", 4370));
  EXPECT_EQ(std::count(host.log.begin(), host.log.end(), "SLEEP 1000"), 1) << "no pause between attempts";
}

TEST(UpdaterTransfer, FiveRefusalsEndWith103And1004IsNeverSent) {
  struct {
    const char* what;
    uint16_t reply110;
    bool touch;
    uint16_t reply1003;
  } cases[] = {
      {"refused", 2001, true, 2000},
      {"zero", 0, true, 2000},
      {"unchanged word after 1003 left 2000", 0, false, 2000},
      {"unchanged word after 1003 left nothing", 0, false, 1003},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeHost host;
    host.reply110 = c.reply110;
    host.touch110 = c.touch;
    host.reply1003 = c.reply1003;
    qvebupd::Updater updater(host);
    EXPECT_EQ(updater.Main({"127.0.0.1", "4370"}), 103);
    Words expected;
    for (int i = 0; i < 5; ++i) {
      expected.push_back("CMD 1003");
      expected.push_back("DATA 110");
    }
    expected.push_back("CLOSE 77");
    EXPECT_EQ(host.Commands(), expected);
    EXPECT_EQ(host.out,
              "Connect to device with 127.0.0.1, 4370 ... OK!\r\n"
              "Upgrading bootloader, Please wait... \r\nFail!\r\n");
    EXPECT_EQ(updater.DeviceHandle(), 0);
  }
}

TEST(UpdaterTransfer, SendsTheWholeImageWithEightZeroParameterBytesAndTheTimeLimits) {
  FakeHost host;
  host.image.assign(20464, '\0');
  for (std::size_t i = 0; i < host.image.size(); ++i) host.image[i] = static_cast<char>(i * 7);
  qvebupd::Updater updater(host);
  EXPECT_EQ(updater.Main({"COM1"}), 0);
  EXPECT_EQ(host.sentImage, host.image);
  EXPECT_EQ(host.sentParams, std::string(8, '\0'));
  EXPECT_EQ(host.log, (Words{"RESOURCE F_DATA", "INIT vxserial.dll COM1 1 115200 0 0",
                             "CMD 1003 h=77 null 0 0 t=1000",
                             "DATA 110 h=77 len=20464 plen=8 t=10000",
                             "CMD 1004 h=77 null 0 0 t=1000", "CLOSE 77"}));
}

TEST(UpdaterTransfer, ParameterBlockIsTwoLittleEndianIntegers) {
  FakeHost host;
  qvebupd::Updater updater(host);
  ASSERT_TRUE(updater.ConnectDevice("COM1", 1));
  EXPECT_TRUE(updater.SendBootImage("x", 1, 0x01020304));
  EXPECT_EQ(host.sentParams, std::string("\x01\x00\x00\x00\x04\x03\x02\x01", 8));
  EXPECT_TRUE(updater.SendBootImage("x", -2, 0));
  EXPECT_EQ(host.sentParams, std::string("\xfe\xff\xff\xff\x00\x00\x00\x00", 8));
}

TEST(UpdaterErrors, AMissingImageIsReportedOnStandardErrorWithCodeOne) {
  FakeHost host;
  host.hasImage = false;
  qvebupd::Updater updater(host);
  EXPECT_EQ(updater.Main({"127.0.0.1", "4370"}), 1);
  EXPECT_EQ(host.out, "");
  EXPECT_EQ(host.err, "qvebupd: Resource F_DATA not found\r\n");
  EXPECT_EQ(host.log, Words{"RESOURCE F_DATA"}) << "no connection attempted";
}

TEST(UpdaterErrors, AnErrorDuringTheTransferClosesTheConnectionFirst) {
  FakeHost host;
  host.throwOnData = true;
  qvebupd::Updater updater(host);
  EXPECT_EQ(updater.Main({"COM1"}), 1);
  EXPECT_EQ(host.Commands(), (Words{"CMD 1003", "DATA 110", "CLOSE 77"}));
  EXPECT_EQ(host.out,
            "Connect to device with COM1, 1 ... OK!\r\nUpgrading bootloader, Please wait... \r\n");
  EXPECT_EQ(host.err, "qvebupd: Out of memory\r\n");
}

TEST(UpdaterConnect, DisconnectClosesOnceAndOnlyAnOpenHandle) {
  FakeHost host;
  qvebupd::Updater updater(host);
  updater.DisconnectDevice();
  EXPECT_TRUE(host.log.empty());
  ASSERT_TRUE(updater.ConnectDevice("COM1", 1));
  updater.DisconnectDevice();
  updater.DisconnectDevice();
  EXPECT_EQ(host.Commands(), Words{"CLOSE 77"});
}

}  // namespace
