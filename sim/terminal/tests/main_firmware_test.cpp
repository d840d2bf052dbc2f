// The main-firmware stand-in through the server core: masked hidden options
// stored plain, refusals, the diagnostic values, 1003/1004, and 110 target 0
// writing the flash with the boot loader's read-merge-write.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/terminal/main_firmware.h"
#include "sim/terminal/packet_codec.h"

namespace {

using namespace sim::terminal;
namespace p = sim::terminal::packet;

// The tool's masking: seed pair, then the running XOR of each value byte.
std::string Mask(const std::string& value, unsigned seed) {
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", seed);
  std::string out = hex;
  unsigned running = seed;
  for (unsigned char c : value) {
    running ^= c;
    std::snprintf(hex, sizeof hex, "%02X", running);
    out += hex;
  }
  return out;
}

Bytes Text(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

class FirmwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const Bytes c = p::Build(p::kCmdConnect, 0, 0, {});
    id = p::Get16(&core.Handle("host", c.data(), c.size()).reply[4]);
  }
  ServerCore::Outcome Send(uint16_t cmd, const Bytes& data = {}) {
    const Bytes pk = p::Build(cmd, id, ++seq, data);
    return core.Handle("host", pk.data(), pk.size());
  }
  uint16_t Code(const ServerCore::Outcome& o) { return p::Get16(&o.reply[0]); }
  uint16_t Field(const ServerCore::Outcome& o) { return p::Get16(&o.reply[4]); }
  std::string Value(const ServerCore::Outcome& o) {
    return std::string(o.reply.begin() + 8, o.reply.end() - 1);  // without the NUL
  }

  sim::FlashModel flash{0x2249};
  std::shared_ptr<MainFirmware> firmware = std::make_shared<MainFirmware>(&flash);
  ServerCore core{*firmware};
  uint16_t id = 0, seq = 0;
};

TEST(Unmask, DecodesTheToolsMaskAndRefusesWhatDoesNotDecode) {
  EXPECT_EQ(MainFirmware::Unmask("5A3B593A"), "abc");  // the worked example
  EXPECT_EQ(MainFirmware::Unmask("C0F1"), "1");
  EXPECT_EQ(MainFirmware::Unmask("08"), "") << "a seed alone: the empty value";
  EXPECT_EQ(MainFirmware::Unmask(Mask("\xC9\xCF\xBA\xA3=x", 0xDB)), "\xC9\xCF\xBA\xA3=x");
  for (const char* bad : {"", "C", "C0F", "C0G1", "C0C0", "C0 F1", "zz"})
    EXPECT_FALSE(MainFirmware::Unmask(bad).has_value()) << bad;
}

TEST_F(FirmwareTest, HiddenOptionsAreStoredPlainAndReadBackPlain) {
  EXPECT_EQ(Code(Send(p::kCmdSetOption, Text("~DeviceName=" + Mask("Gate 7", 0xC0)))), 2000);
  EXPECT_EQ(firmware->Options().Get("~DeviceName"), "Gate 7");
  auto read = Send(p::kCmdGetOption, Text("~DeviceName"));
  EXPECT_EQ(Value(read), "~DeviceName=Gate 7");
  // Plain options are stored as they come, "=" in the value included.
  EXPECT_EQ(Code(Send(p::kCmdSetOption, Text("Voices=a=b"))), 2000);
  EXPECT_EQ(firmware->Options().Get("Voices"), "a=b");
  EXPECT_EQ(firmware->Options().Writes("~DeviceName"), 1u);
}

TEST_F(FirmwareTest, WritesItCannotTakeAreRefusedAndChangeNothing) {
  const std::string before = *firmware->Options().Get("~OEMVendor");
  for (const std::string& text : {std::string("~OEMVendor=ACME"), std::string("~OEMVendor=C0F"),
                                  std::string("~OEMVendor"), std::string("=1"), std::string("V0=x"),
                                  std::string("V3=" + Mask("1", 8))}) {
    EXPECT_EQ(Code(Send(p::kCmdSetOption, Text(text))), 2001) << text;
  }
  EXPECT_EQ(firmware->Options().Get("~OEMVendor"), before);
  EXPECT_EQ(firmware->Options().TotalWrites(), 0u);
  EXPECT_EQ(Code(Send(p::kCmdGetOption, Text("NoSuchOption"))), 2001);
}

TEST_F(FirmwareTest, DiagnosticValuesSayWhatTheTerminalHasDone) {
  Send(p::kCmdSetOption, Text("Voices=5"));
  Send(p::kCmdSetOption, Text("NewOption=1"));
  const std::size_t held = MainFirmware::Defaults().size() + 1;
  EXPECT_EQ(Value(Send(p::kCmdGetOption, Text("V0"))), "V0=QMSIM 1.0");
  EXPECT_EQ(Value(Send(p::kCmdGetOption, Text("V1"))), "V1=" + std::to_string(held));
  EXPECT_EQ(Value(Send(p::kCmdGetOption, Text("V2"))), "V2=2");
  EXPECT_TRUE(::testing::internal::RE::FullMatch(Value(Send(p::kCmdGetOption, Text("V3"))), "V3=[0-9]+"));
  EXPECT_EQ(Value(Send(p::kCmdGetOption, Text("V4"))), "V4=0");
  EXPECT_EQ(Code(Send(p::kCmdGetOption, Text("V5"))), 2001);
}

TEST_F(FirmwareTest, UpdaterCommandsWriteTheBootAreaWithTheLoadersRules) {
  int restarts = 0;
  firmware->SetRestart([&] { ++restarts; });
  Bytes image(20464);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ (i >> 8));
  flash.fill(0xFF);
  // Sector 1 (0x4000-0x5FFF) holds old data under the image's end (0x4FF0) and
  // beyond it: it must be erased, and what lies beyond the image put back.
  flash.set_contents(0x4000, Bytes(16, 0x00));
  flash.set_contents(0x5FF0, {0x12, 0x34});

  EXPECT_EQ(Code(Send(p::kCmdPrepare)), 2000);
  Send(p::kCmdTransferSize, {0xF0, 0x4F, 0, 0});
  for (std::size_t off = 0; off < image.size(); off += 1024)
    Send(p::kCmdTransferChunk, Bytes(image.begin() + off, image.begin() + std::min(off + 1024, image.size())));
  flash.clear_counters();
  EXPECT_EQ(Code(Send(p::kCmdStore, Bytes(8, 0))), 2000);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.data()));
  EXPECT_EQ(flash.data()[0x5FF0], 0x12) << "the rest of the sector keeps its contents";
  EXPECT_EQ(flash.data()[0x5FF1], 0x34);
  EXPECT_EQ(flash.erases_at().size(), 1u) << "only sector 1 needed erasing";
  EXPECT_EQ(flash.erases_at().count(0x4000), 1u);
  // Sector 0 was blank: programmed without erasing; sector 1 reprogrammed whole.
  EXPECT_EQ(flash.counters().programs, 0x4000 / 2 + 0x2000 / 2);
  EXPECT_EQ(firmware->ImagesWritten(), 1u);

  // The same image again touches nothing; target 1 is not the updater's.
  flash.clear_counters();
  EXPECT_EQ(Code(Send(p::kCmdStore, Bytes(8, 0))), 2000);
  EXPECT_EQ(flash.counters().programs + flash.counters().erases, 0u);
  auto other = Send(p::kCmdStore, Bytes{1, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(Code(other), 2001);
  EXPECT_EQ(Field(other), 5);

  // A flash that cannot be programmed: error 4.
  image[0] ^= 0xFF;
  Send(p::kCmdTransferSize, {0xF0, 0x4F, 0, 0});
  for (std::size_t off = 0; off < image.size(); off += 1024)
    Send(p::kCmdTransferChunk, Bytes(image.begin() + off, image.begin() + std::min(off + 1024, image.size())));
  flash.fail_program(0x100, -1);
  auto failed = Send(p::kCmdStore, Bytes(8, 0));
  EXPECT_EQ(Code(failed), 2001);
  EXPECT_EQ(Field(failed), 4);
  flash.clear_failures();

  auto restart = Send(p::kCmdRestart);
  EXPECT_EQ(Code(restart), 2000);
  EXPECT_EQ(restarts, 0) << "only once the reply is sent";
  ASSERT_TRUE(restart.after);
  restart.after();
  EXPECT_EQ(restarts, 1);
}

TEST_F(FirmwareTest, MemoryReadOfTheFlashWindow) {
  flash.set_contents(0x10, {0xAB, 0xCD});
  auto out = Send(p::kCmdMemoryRead, Bytes{0x10, 0, 0x80, 0xFF, 2, 0, 0, 0});
  ASSERT_EQ(out.stream.size(), 2u);
  EXPECT_EQ(Bytes(out.stream[1].begin() + 8, out.stream[1].end()), (Bytes{0xAB, 0xCD}));
}

}  // namespace
