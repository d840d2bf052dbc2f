// Batch over eight simulated terminals (main-firmware personality on 127.0.0.1),
// four at a time, one of them unreachable; the report; a second run that takes
// only the failed row; a run where every terminal is already as planned; plans
// refused before anything runs.
#include <gtest/gtest.h>
#include <unistd.h>

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

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream f(path);
  std::vector<std::string> lines;
  for (std::string l; std::getline(f, l);) lines.push_back(l);
  return lines;
}

std::string Temp(const std::string& name) { return clitest::TempPath(name); }

struct Terminal {
  std::unique_ptr<sim::FlashModel> flash = std::make_unique<sim::FlashModel>();
  std::shared_ptr<MainFirmware> firmware = std::make_shared<MainFirmware>(flash.get());
  std::unique_ptr<TestPeer> peer = TestPeer::StartUdp(firmware);
  std::string Option(const std::string& n) { return firmware->Options().Get(n).value_or("<none>"); }
  int Count(uint16_t command) {
    int n = 0;
    for (const auto& p : peer->Log()) n += p.command == command;
    return n;
  }
};

class CliBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 8; ++i) terminals.push_back(std::make_unique<Terminal>());
    terminals[5]->peer->SetSilent(true);  // unreachable
    voices = Temp("voices.ini");
    std::ofstream(voices) << "[QZX]\nVoices=5\n";
    image = std::string(3000, '\x42');
    plan = Temp("plan.csv");
    std::ofstream p(plan);
    p << "terminal,port,preset,serial,vendor,product,voice,options,boot\n";
    for (int i = 0; i < 8; ++i) {
      p << "127.0.0.1," << terminals[i]->peer->port() << "," << (i % 2 ? "R7 In/Out" : "6") << ",10000" << i
        << ",Vendor" << i << ",\"Product, " << i << "\"," << (i == 2 ? "QZX" : "") << ","
        << "\"ShowCheckin=0;Custom" << i << "=v=" << i << "\"," << (i == 3 ? "yes" : "") << "\n";
    }
  }
  Result Batch(std::vector<std::string> extra) {
    std::vector<std::string> a = {"batch", plan, "--voices", voices, "--backup-dir", clitest::TempFolder()};
    a.insert(a.end(), extra.begin(), extra.end());
    return RunCli(a, image);
  }
  std::vector<std::unique_ptr<Terminal>> terminals;
  std::string voices, image, plan;
};

TEST_F(CliBatch, EightTerminalsFourAtATimeThenOnlyTheFailedRow) {
  const std::string report = Temp("report1.jsonl");
  Result r = Batch({"--jobs", "4", "--report", report});
  EXPECT_EQ(r.code, qcli::kExitBatchFailed) << r.err;
  const std::string dead = "127.0.0.1:" + std::to_string(terminals[5]->peer->port());
  EXPECT_NE(r.err.find("quelmark: " + dead + ": Can not connect to the device"), std::string::npos) << r.err;
  std::vector<std::string> lines = Lines(report);
  ASSERT_EQ(lines.size(), 8u);
  int failed = 0;
  for (const auto& l : lines) {
    if (l.find("\"ok\":false") == std::string::npos) continue;
    ++failed;
    EXPECT_NE(l.find("\"terminal\":\"" + dead + "\""), std::string::npos) << l;
    EXPECT_NE(l.find("\"error\":\"Can not connect to the device\""), std::string::npos) << l;
  }
  EXPECT_EQ(failed, 1);
  for (int i = 0; i < 8; ++i) {
    if (i == 5) continue;
    SCOPED_TRACE(i);
    Terminal& t = *terminals[i];
    EXPECT_EQ(t.Option("~SerialNumber"), "10000" + std::to_string(i));
    EXPECT_EQ(t.Option("~OEMVendor"), "Vendor" + std::to_string(i));
    EXPECT_EQ(t.Option("~DeviceName"), "Product, " + std::to_string(i));
    EXPECT_EQ(t.Option("ShowCheckin"), "0");
    EXPECT_EQ(t.Option("ShowCheckIn"), "1");
    EXPECT_EQ(t.Option("Custom" + std::to_string(i)), "v=" + std::to_string(i));
    EXPECT_EQ(t.Option("~PIN2Width"), i % 2 ? "5" : "9");
    EXPECT_EQ(t.Option("~KeyLayout"), i % 2 ? "1" : "0");
  }
  EXPECT_EQ(terminals[2]->Option("Voices"), "5");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(terminals[3]->flash->data()), image.size()), image);
  EXPECT_EQ(terminals[3]->firmware->ImagesWritten(), 1u);
  for (const auto& l : lines)
    if (l.find(":" + std::to_string(terminals[3]->peer->port()) + "\"") != std::string::npos)
      // ShowCheckIn of the preset was already 1: read, not written.
      EXPECT_NE(l.find("\"written\":[\"~KeyLayout\",\"~ShowState\",\"VTRAKeyLayouts\",\"~SerialNumber\","
                       "\"~OEMVendor\",\"~DeviceName\",\"ShowCheckin\",\"Custom3\",\"boot\"],\"verified\":[\"~KeyLayout\""),
                std::string::npos)
          << l;

  // The terminal comes back; a second run takes its row alone.
  terminals[5]->peer->SetSilent(false);
  for (auto& t : terminals) t->peer->ClearLog();
  const std::string report2 = Temp("report2.jsonl");
  r = Batch({"--jobs", "4", "--report", report2, "--retry", report});
  EXPECT_EQ(r.code, 0) << r.err;
  lines = Lines(report2);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\"terminal\":\"" + dead + "\",\"line\":7,\"ok\":true"), std::string::npos) << lines[0];
  EXPECT_EQ(terminals[5]->Option("~SerialNumber"), "100005");
  for (int i = 0; i < 8; ++i)
    if (i != 5) EXPECT_TRUE(terminals[i]->peer->Log().empty()) << i;
}

TEST_F(CliBatch, ARunOfTerminalsAlreadyAsPlannedCostsReadsOnly) {
  terminals[5]->peer->SetSilent(false);
  ASSERT_EQ(Batch({"--jobs", "8"}).code, 0);
  for (auto& t : terminals) t->peer->ClearLog();
  const std::string report = Temp("report3.jsonl");
  const Result r = Batch({"--jobs", "8", "--report", report});
  EXPECT_EQ(r.code, 0) << r.err;
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(terminals[i]->Count(12), 0) << i;
    EXPECT_EQ(terminals[i]->Count(110), 0) << i;
    EXPECT_GT(terminals[i]->Count(11), 0) << i;
  }
  for (const auto& l : Lines(report)) EXPECT_NE(l.find("\"written\":[],\"verified\":[]"), std::string::npos) << l;
  EXPECT_NE(r.out.find("already as planned"), std::string::npos);
}

TEST_F(CliBatch, PlansRefusedBeforeAnythingRuns) {
  const std::string port = std::to_string(terminals[0]->peer->port());
  char hex[16];
  snprintf(hex, sizeof hex, "$%X", unsigned(terminals[0]->peer->port()));
  struct Case {
    std::string csv, text;
  } cases[] = {
      {"terminal,port,serial\n127.0.0.1," + port + ",100001\n 127.0.0.1 ," + std::string(hex) + ",100002\n",
       "lines 2 and 3 both name the terminal 127.0.0.1:" + port},
      {"terminal,serial\ncom1,100001\nCOM1,100002\n", "both name the terminal COM1"},
      {"terminal,port,serial\n127.0.0.1," + port + ",12345\n", "line 2 (127.0.0.1:" + port + "): serial number \"12345\": 序列号长度不对"},
      {"terminal,port,preset\n127.0.0.1," + port + ",R9\n", "no preset \"R9\""},
      {"terminal,preset,options\n127.0.0.1,R7 In/Out,ShowCheckIn=0\n",
       "the option ShowCheckIn is planned as \"1\" and as \"0\""},
      {"terminal,colour\n127.0.0.1,red\n", "unknown column \"colour\""},
  };
  const std::string bad = Temp("bad.csv");
  for (const Case& c : cases) {
    std::ofstream(bad) << c.csv;
    const Result r = RunCli({"batch", bad, "--jobs", "4"});
    EXPECT_EQ(r.code, qcli::kExitRefused) << c.csv;
    EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
  }
  EXPECT_TRUE(terminals[0]->peer->Log().empty());
}

}  // namespace
