// One simulated terminal in main-firmware mode (the real quelmark-sim: the boot
// loader on the emulated board starts the firmware stand-in, the personality
// answers), driven by the real tool model through its buttons over the real
// libvordlix, with the real qvebupd for "Update". Each operation ends with the
// option store file holding what it should.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fwimage/fwimage.h"
#include "platform/files.h"
#include "sim/terminal/main_firmware.h"
#include "sim/terminal/option_store.h"
#include "testing/arp_recorder.h"
#include "testing/loopback_namespace.h"
#include "testing/process.h"
#include "tool/ops/voice_config.h"
#include "tool/uOEM.h"
#include "tool/vordlix.h"
#include <vordlix/vordlix.h>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Store = std::map<std::string, std::string>;

const std::string kVtraR7 = "432A3734303835233936414231323344919294933233";
const std::string kSerialItem = "\xD0\xF2\xC1\xD0\xBA\xC5";

Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
std::string ReadText(const std::string& path) {
  Bytes b = ReadFile(path);
  return std::string(b.begin(), b.end());
}
void WriteFile(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}
size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Boxes : public MessagePort {
 public:
  void Show(const MessageBoxRequest& box) override { shown.push_back(box.Text); }
  std::vector<std::string> Take() {
    auto out = shown;
    shown.clear();
    return out;
  }
  std::vector<std::string> shown;
};

class OneTerminal : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { qtest::enter_loopback_only_namespace(); }

  void SetUp() override {
    char tmpl[] = "/tmp/one-terminal-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    flash_ = dir_ + "/flash.bin";
    store_ = dir_ + "/quelmark-options.txt";
    ASSERT_EQ(mkdir((dir_ + "/work").c_str(), 0755), 0);
    cwd_ = platform::CurrentDirectory();
    ASSERT_EQ(chdir((dir_ + "/work").c_str()), 0);  // the tool writes qvebupd.exe here
    setenv("VORDLIX_LOCAL_PORT", "0", 1);
    vordlix::ResetSeedGeneratorForTesting();
    form_.Messages = &boxes_;
    form_.SleepMs = [](uint32_t) {};
    form_.OnCloseRequest = [this] { ++closes_; };
  }
  void TearDown() override {
    sim_.reset();
    if (chdir(cwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << cwd_;
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  // Starts quelmark-sim on the flash file and waits until the main firmware answers.
  void Start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--udp", "127.0.0.1:0", "--flash", flash_, "--panel-log", dir_ + "/panel.log",
                                     "--pty-link", dir_ + "/tty", "--time", "wall"};
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<qtest::Sim>(args, dir_ + "/sim.err");
    ASSERT_TRUE(sim_->wait_ready()) << ReadText(dir_ + "/sim.err");
    form_.edtnetAddress.Text = "127.0.0.1";
    form_.edtNetPort.Text = std::to_string(sim_->port);
    ASSERT_TRUE(WaitForFirmware()) << ReadText(dir_ + "/sim.err");
  }

  // A read of "V0" answered: the personality (the loader knows no option commands).
  bool WaitForFirmware(int timeout_ms = 30000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < end) {
      if (Read("V0") == "QMSIM 1.0") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  std::string Read(const std::string& name) {
    const int32_t h = VORDLIX_INIT("vxnet.dll", "127.0.0.1", sim_->port, 0, 0, 0);
    if (!h) return "";
    std::string v = GetOption(h, name);
    VORDLIX_CLOSE(h);
    return v;
  }

  Store StoreFile() {
    sim::terminal::OptionStore::Entries entries;
    std::string error;
    EXPECT_TRUE(sim::terminal::OptionStore::Parse(ReadText(store_), &entries, &error)) << error;
    return Store(entries.begin(), entries.end());
  }

  // A flash with an older build of the boot loader (another version text) and
  // the packed firmware stand-in behind the firmware header.
  static Bytes OldLoader() {
    Bytes img = ReadFile(qtest::build_dir() + "/firmware/bootloader.bin");
    const std::string text(img.begin(), img.end());
    const size_t at = text.find("BLDR ");
    if (at != std::string::npos) {
      const char old[] = "BLDR Jan 02 2003";
      std::copy(old, old + 16, img.begin() + at);
    }
    return img;
  }
  void WriteOldFlash() {
    Bytes flash(fwimage::kFlashSize, 0xFF);
    const Bytes old = OldLoader();
    std::copy(old.begin(), old.end(), flash.begin());
    ASSERT_EQ(fwimage::place_in_flash(ReadFile(qtest::build_dir() + "/firmware/standin-lzo.fw"), &flash), "");
    WriteFile(flash_, flash);
  }
  // What the update must leave at flash offset 0: the built boot loader.
  bool FlashHoldsNewLoader() {
    const Bytes img = ReadFile(qtest::build_dir() + "/firmware/bootloader.bin");
    const Bytes flash = ReadFile(flash_);
    return !img.empty() && flash.size() == fwimage::kFlashSize && std::equal(img.begin(), img.end(), flash.begin());
  }

  void Preset(int index) {
    form_.cbKeyLayouts.Select(index);
    form_.Click(form_.btnSetConfig);
  }

  std::string dir_, flash_, store_, cwd_;
  std::unique_ptr<qtest::Sim> sim_;
  TForm1 form_;
  Boxes boxes_;
  int closes_ = 0;
};

// Presets, serial number, OEM identity, voice, diagnostics and a read, each
// ending with the store file holding what it should (hidden options plain).
TEST_F(OneTerminal, EachOperationEndsInTheOptionStoreFile) {
  Start();
  const auto defaults = sim::terminal::MainFirmware::Defaults();
  EXPECT_EQ(StoreFile(), Store(defaults.begin(), defaults.end())) << "a new terminal holds the defaults";

  struct Step {
    int index;
    Store holds;
  };
  const Step steps[] = {
      {4, {{"ShowCheckIn", "1"}, {"~KeyLayout", "1"}, {"~ShowState", "1"}, {"VTRAKeyLayouts", kVtraR7}}},
      {5, {{"ShowCheckIn", "0"}, {"~KeyLayout", "0"}, {"~ShowState", "0"}, {"VTRAKeyLayouts", kVtraR7}}},
      {0, {{"ShowCheckin", "0"}}},
      {3, {{"VTRAKeyLayouts", "322A3023373839343536334344424131414231334443"}}},
      {6, {{"~PIN2Width", "9"}}},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.index);
    Preset(s.index);
    EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Success!"}));
    const Store now = StoreFile();
    for (const auto& [name, value] : s.holds) EXPECT_EQ(now.count(name) ? now.at(name) : "?", value) << name;
  }

  form_.cbConfig.Text = kSerialItem;
  form_.txtConfig.Text = "123456";
  form_.Click(form_.btWriteConfig);
  EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Success!"}));
  EXPECT_EQ(StoreFile()["~SerialNumber"], "123456") << "plain in the store";

  form_.edtOEMVender.Text = "\xC9\xCF\xBA\xA3 Works";
  form_.edtProduct.Text = "Gate=7";
  form_.Click(form_.btnOpen);
  EXPECT_TRUE(boxes_.Take().empty()) << "success shows nothing";
  EXPECT_EQ(StoreFile()["~OEMVendor"], "\xC9\xCF\xBA\xA3 Works");
  EXPECT_EQ(StoreFile()["~DeviceName"], "Gate=7");

  const std::string ini = dir_ + "/voices.ini";
  WriteFile(ini, Bytes{'[', 'Q', 'Z', 'X', ']', '\n', 'V', 'o', 'i', 'c', 'e', 's', '=', '3', '1', '\n'});
  form_.VoiceConfig.reset(new IniVoiceConfig(ini));
  form_.cbVoices.Select(0);
  form_.Click(form_.btnSetVoices);
  EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Success!"}));
  EXPECT_EQ(StoreFile()["Voices"], "31");

  // Writes applied so far: 3 + 3 + 1 + 1 + 1 (presets), 1 (serial), 2 (names), 1 (voice).
  form_.Click(form_.Button2);
  EXPECT_TRUE(boxes_.Take().empty());
  EXPECT_EQ(form_.Edit1.Text, "QMSIM 1.0");
  EXPECT_EQ(form_.Edit2.Text, std::to_string(StoreFile().size()));
  EXPECT_EQ(form_.Edit3.Text, "13");
  EXPECT_FALSE(form_.Edit5.Text.empty());
  EXPECT_EQ(form_.Edit4.Text, "0");

  form_.cbConfig.Text = "~PIN2Width";
  form_.txtConfig.Text = "";
  form_.Click(form_.btReadConfig);
  EXPECT_EQ(form_.txtConfig.Text, "9");

  // The store survives the terminal: a new start reads it back.
  ASSERT_EQ(sim_->stop(), 0);
  Start();
  EXPECT_EQ(Read("~SerialNumber"), "123456");
  EXPECT_EQ(Read("Voices"), "31");
}

// The command port carries the same operations as serial frames.
TEST_F(OneTerminal, SerialLineReachesThePersonality) {
  Start();
  setenv("VORDLIX_COM7", (dir_ + "/tty").c_str(), 1);
  form_.sbtnRS232.Down = true;
  form_.edtnetAddress.Text = "COM7";
  form_.edtNetPort.Text = "1";
  form_.edtBaudRate.Text = "115200";
  Preset(6);
  EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Success!"}));
  EXPECT_EQ(StoreFile()["~PIN2Width"], "9");
  form_.cbConfig.Text = "V0";
  form_.Click(form_.btReadConfig);
  EXPECT_EQ(form_.txtConfig.Text, "QMSIM 1.0");
  unsetenv("VORDLIX_COM7");
}

TEST_F(OneTerminal, RefusedConnectionAndRefusedWritesGiveTheirMessages) {
  // A port nobody answers on.
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  close(s);
  form_.edtnetAddress.Text = "127.0.0.1";
  form_.edtNetPort.Text = std::to_string(ntohs(a.sin_port));
  Preset(1);
  EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Can not connect to the device"}));

  Start();
  form_.cbConfig.Text = "V1";  // the diagnostic values are read-only
  form_.txtConfig.Text = "7";
  form_.Click(form_.btWriteConfig);
  EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Save config fail!"}));
  EXPECT_EQ(StoreFile().count("V1"), 0u);
}

// An option store that cannot be read, and --loader on a flash that would start
// the firmware: clear errors at start, the files left as they are.
TEST_F(OneTerminal, StartRefusesWhatItCannotUse) {
  const Bytes bad = {'A', '=', '1', '\n', 'n', 'o', ' ', 'e', 'q', 'u', 'a', 'l', 's', '\n'};
  WriteFile(store_, bad);
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const Case cases[] = {
      {{"--udp", "127.0.0.1:0", "--flash", flash_}, "option store"},
      {{"--udp", "127.0.0.1:0", "--flash", flash_, "--options", dir_}, "option store"},
      {{"--udp", "127.0.0.1:0", "--flash", flash_, "--loader"}, "holds main firmware"},
  };
  WriteOldFlash();
  for (const Case& k : cases) {
    qtest::Process p(qtest::program("quelmark-sim"), k.args, {}, dir_ + "/start.err");
    EXPECT_EQ(p.wait_exit(), 1);
    EXPECT_NE(ReadText(dir_ + "/start.err").find(k.says), std::string::npos) << ReadText(dir_ + "/start.err");
  }
  EXPECT_EQ(ReadFile(store_), bad) << "never replaced";
}

// "Update": the tool's qvebupd over UDP writes the new boot loader through the
// personality; its 1004 restarts the board, which starts the firmware again.
TEST_F(OneTerminal, UpdateWritesTheNewLoaderAndTheFirmwareStartsAgain) {
  qtest::ArpRecorder arp;
  for (const std::string& e : arp.env()) putenv(strdup(e.c_str()));
  WriteOldFlash();
  Start();
  EXPECT_FALSE(FlashHoldsNewLoader());
  form_.Click(form_.btnUpdateBoot);
  EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Update success!"}));
  EXPECT_EQ(closes_, 1);
  EXPECT_TRUE(FlashHoldsNewLoader());
  EXPECT_TRUE(WaitForFirmware()) << "back in main-firmware mode after the restart";
  EXPECT_EQ(Count(ReadText(dir_ + "/sim.err"), "wrote a boot-loader image"), 1u);
  ASSERT_EQ(sim_->stop(), 0);
  EXPECT_TRUE(FlashHoldsNewLoader());
  unsetenv("QVEBUPD_ARP");
}

// A fifth of the datagrams lost each way: the update and a preset chain still
// succeed, and every write is applied once (repeats answered from the stored reply).
TEST_F(OneTerminal, TwentyPercentLossEachWayAppliesEachWriteOnce) {
  qtest::ArpRecorder arp;
  for (const std::string& e : arp.env()) putenv(strdup(e.c_str()));
  WriteOldFlash();
  Start({"--loss", "20", "--seed", "12"});
  for (int index : {4, 5, 6}) {
    SCOPED_TRACE(index);
    Preset(index);
    EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Success!"}));
  }
  const Store s = StoreFile();
  EXPECT_EQ(s.at("ShowCheckIn"), "0");
  EXPECT_EQ(s.at("~ShowState"), "0");
  EXPECT_EQ(s.at("~PIN2Width"), "9");
  // 4: ~KeyLayout, ~ShowState, VTRAKeyLayouts; 5: ShowCheckIn, ~KeyLayout, ~ShowState; 6: ~PIN2Width.
  std::string applied;
  for (int i = 0; i < 20 && applied.empty(); ++i) applied = Read("V2");
  EXPECT_EQ(applied, "7");

  form_.Click(form_.btnUpdateBoot);
  EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Update success!"}));
  EXPECT_TRUE(FlashHoldsNewLoader());
  EXPECT_EQ(Count(ReadText(dir_ + "/sim.err"), "wrote a boot-loader image"), 1u) << "110 applied once";
  EXPECT_TRUE(WaitForFirmware());
  ASSERT_EQ(sim_->stop(), 0);
  unsigned in = 0, out = 0;
  const std::string err = ReadText(dir_ + "/sim.err");
  const size_t at = err.find("UDP datagrams lost: ");
  ASSERT_NE(at, std::string::npos) << err;
  ASSERT_EQ(sscanf(err.c_str() + at, "UDP datagrams lost: %u to the terminal, %u from it", &in, &out), 2);
  EXPECT_GT(in, 5u);
  EXPECT_GT(out, 5u);
  unsetenv("QVEBUPD_ARP");
}

// Killing the terminal in the middle of an update: qvebupd ends with its failure
// code ("Update Fail!"), the window stays open and works with the next terminal.
TEST_F(OneTerminal, KillDuringUpdateLeavesTheToolUsable) {
  qtest::ArpRecorder arp;
  for (const std::string& e : arp.env()) putenv(strdup(e.c_str()));
  WriteOldFlash();
  Start({"--delay", "40"});  // a transfer of about two seconds
  const Bytes before = ReadFile(flash_);
  std::thread killer([&] {
    // qvebupd flushes the neighbour cache after 1003, pauses 1 s, then transfers.
    arp.requests(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    sim_->signal(SIGKILL);
  });
  form_.Click(form_.btnUpdateBoot);
  killer.join();
  EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Update Fail!"}));
  EXPECT_EQ(closes_, 0);
  EXPECT_EQ(ReadFile(flash_), before) << "the flash file is the one from before the update";
  sim_.reset();

  Start();
  Preset(6);
  EXPECT_EQ(boxes_.Take(), (std::vector<std::string>{"Success!"}));
  unsetenv("QVEBUPD_ARP");
}

// Killed during option writes: the store file is always whole, holding the old
// value or the new one, and the next start reads it.
TEST_F(OneTerminal, KillDuringAnOptionWriteLeavesTheStoreWhole) {
  int held = 0;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    Start();
    std::atomic<bool> go{true};
    std::thread writer([&] {
      const int32_t h = VORDLIX_INIT("vxnet.dll", "127.0.0.1", sim_->port, 0, 0, 0);
      for (int i = 0; go && h; ++i) SetOption(h, "Note=" + std::to_string(round * 1000 + i) + std::string(120, 'x'));
      if (h) VORDLIX_CLOSE(h);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(40 + 17 * round));
    sim_->signal(SIGKILL);
    sim_->wait_exit();
    go = false;
    writer.join();
    const Store s = StoreFile();
    EXPECT_EQ(s.size(), sim::terminal::MainFirmware::Defaults().size() + (s.count("Note") ? 1 : 0));
    if (s.count("Note")) {
      ++held;
      const std::string& v = s.at("Note");
      const size_t x = v.find('x');
      ASSERT_NE(x, std::string::npos) << v;
      EXPECT_EQ(v.find_first_not_of("0123456789"), x) << v;
      EXPECT_EQ(v.substr(x), std::string(120, 'x'));
    }
    sim_.reset();
  }
  EXPECT_GT(held, 0) << "no write landed before a kill";
  Start();
  EXPECT_EQ(Read("Note"), StoreFile()["Note"]);
}

// The main job's round without a display: quelmark-config off screen, its default
// address 192.168.1.201 mapped to the terminal, its operations through its buttons.
TEST_F(OneTerminal, TheWindowsDemoRoundReachesTheTerminalThroughTheAddressMap) {
  Start();
  const std::string voices = qtest::build_dir() + "/bin/voices.ini";
  const bool had_voices = platform::FileExists(voices);
  if (!had_voices) WriteFile(voices, Bytes{'[', 'Q', 'Z', 'X', ']', '\n', 'V', 'o', 'i', 'c', 'e', 's', '=', '7', '\n'});
  const std::string out = dir_ + "/config.out", png = dir_ + "/window.png";
  const std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen QUELMARK_CONFIG_DEMO=1 "
                          "QUELMARK_CONFIG_SCREENSHOT='" + png + "' VORDLIX_NET_MAP=192.168.1.201=127.0.0.1:" +
                          std::to_string(sim_->port) + " '" + qtest::program("quelmark-config") + "' >'" + out +
                          "' 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  if (!had_voices) ::unlink(voices.c_str());
  const std::string text = ReadText(out);
  EXPECT_EQ(Count(text, "message box \"Information\": Success!"), 3u) << text;  // preset, serial, voice
  EXPECT_NE(text.find("Edit1 = QMSIM 1.0"), std::string::npos) << text;
  EXPECT_NE(text.find("value read: QM-7 Gate"), std::string::npos) << text;
  const Store s = StoreFile();
  EXPECT_EQ(s.at("~DeviceName"), "QM-7 Gate");
  EXPECT_EQ(s.at("~KeyLayout"), "1");
  EXPECT_EQ(s.at("~SerialNumber").size(), 6u);
  EXPECT_GT(ReadFile(png).size(), 1000u);
}

}  // namespace
