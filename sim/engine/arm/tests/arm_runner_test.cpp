// quelmark-sim --engine arm: the real image on the emulated board, met by the
// host programs over UDP on 127.0.0.1 and over the command port's
// pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "sim/engine/arm/tests/arm_fixture.h"
#include "sim/engine/arm/tests/arm_hosts.h"

namespace {

using armtest::Bytes;
using armtest::SerialHost;
using armtest::UdpHost;
using runnertest::command;
using runnertest::le16;
using runnertest::Sim;
using runnertest::u32s;

constexpr uint32_t kVersionAt = 0x3E20;

class ArmRunner : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(armtest::boot_image().empty()) << "no build/firmware/bootloader.bin";
    char tmpl[] = "/tmp/quelmark-arm-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    flash_ = dir_ + "/flash.bin";
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  // A flash holding an older build of the loader (another version text) and,
  // behind it up to the firmware header, bytes that must survive an update.
  Bytes old_flash() {
    Bytes f(0x200000, 0xFF);
    const Bytes& img = armtest::boot_image();
    std::copy(img.begin(), img.end(), f.begin());
    const char old[] = "BLDR Jan 02 2003";
    std::copy(old, old + 16, f.begin() + kVersionAt);
    for (size_t i = img.size(); i < 0x10000; ++i) f[i] = static_cast<uint8_t>(i * 29 + 3);
    return f;
  }

  std::vector<std::string> args(const char* flash_id = "0x22C4") {
    return {"--engine", "arm", "--time", "virtual", "--udp", "127.0.0.1:0", "--flash", flash_,
            "--flash-id", flash_id, "--pty-link", dir_ + "/tty", "--panel-log",
            dir_ + "/panel.log"};
  }

  std::string dir_, flash_;
};

TEST_F(ArmRunner, QvebupdWritesTheImageOverUdpAndSerialOnBothParts) {
  struct Case { const char* flash_id; bool serial; };
  for (const Case& c : {Case{"0x22C4", false}, Case{"0x22C4", true}, Case{"0x2249", false},
                        Case{"0x2249", true}}) {
    SCOPED_TRACE(std::string(c.flash_id) + (c.serial ? " serial" : " udp"));
    const Bytes before = old_flash();
    runnertest::write_file(flash_, before);
    Sim sim(args(c.flash_id));
    ASSERT_TRUE(sim.wait_ready());
    std::string out;
    int rc = c.serial ? armtest::run_qvebupd(dir_, {"COM1"}, {"VORDLIX_COM1=" + dir_ + "/tty"}, &out)
                      : armtest::run_qvebupd(dir_, {"127.0.0.1", std::to_string(sim.port)}, {}, &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("OK! Please Restart the device."), std::string::npos) << out;
    // After its 1004 the loader has restarted and answers again (a datagram that
    // arrives while it starts is lost, as on the terminal: ask again).
    UdpHost host(sim.port);
    Bytes r;
    for (int i = 0; i < 5 && r.empty(); ++i) r = host.call(command(1000, 0, 0), nullptr, 1000);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(le16(r, 0), 2000u);
    Bytes v = host.call(command(1100, le16(r, 4), 1));
    ASSERT_EQ(v.size(), 25u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&v[8]), "BLDR Jan 02 2003")
        << "1004 restarts the loader from its SDRAM copy, not from flash";
    EXPECT_EQ(sim.stop(), 0);
    Bytes flash = runnertest::read_file(flash_);
    ASSERT_EQ(flash.size(), 0x200000u);
    const Bytes& img = armtest::boot_image();
    EXPECT_TRUE(std::equal(img.begin(), img.end(), flash.begin())) << "flash offset 0 is not the image";
    EXPECT_TRUE(std::equal(flash.begin() + img.size(), flash.end(), before.begin() + img.size()))
        << "bytes behind the image changed";
  }
}

// Version, memory reads and repeats over both transports; a read of the
// page table's fault range restarts the loader.
TEST_F(ArmRunner, VersionMemoryReadRepeatsAndAnAbortingRead) {
  runnertest::write_file(flash_, old_flash());
  Sim sim(args());
  ASSERT_TRUE(sim.wait_ready());
  const Bytes flash = old_flash();

  UdpHost udp(sim.port);
  SerialHost ser(dir_ + "/tty");
  ASSERT_TRUE(ser.ok());
  auto via = [&](bool serial, const Bytes& p, std::vector<Bytes>* chunks = nullptr) {
    return serial ? ser.call(p, chunks) : udp.call(p, chunks);
  };
  for (bool serial : {false, true}) {
    SCOPED_TRACE(serial ? "serial" : "udp");
    Bytes r = via(serial, command(1000, 0, 0));
    ASSERT_GE(r.size(), 8u);
    ASSERT_EQ(le16(r, 0), 2000u);
    uint16_t id = le16(r, 4);
    r = via(serial, command(1100, id, 1));
    ASSERT_EQ(r.size(), 25u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&r[8]), "BLDR Jan 02 2003");
    // A repeat of the same sequence number gets the stored reply, unchanged.
    EXPECT_EQ(via(serial, command(1100, id, 1)), r);
    // 2,500 bytes of the flash window: 1024, 1024, 452.
    std::vector<Bytes> chunks;
    r = via(serial, command(111, id, 2, u32s({0xFF800000u + 0x3E00, 2500})), &chunks);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(le16(r, 0), 2000u);
    ASSERT_EQ(chunks.size(), 4u);
    Bytes got;
    for (size_t i = 1; i < chunks.size(); ++i) got.insert(got.end(), chunks[i].begin() + 8, chunks[i].end());
    EXPECT_EQ(got, Bytes(flash.begin() + 0x3E00, flash.begin() + 0x3E00 + 2500));
    // The SDRAM copy of the flash seen at virtual 0.
    chunks.clear();
    r = via(serial, command(111, id, 3, u32s({0, 64})), &chunks);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(Bytes(chunks[1].begin() + 8, chunks[1].end()), Bytes(flash.begin(), flash.begin() + 64));
  }
  // A read in the fault range: data abort, vector table, loader mode again;
  // the connection records are gone.
  Bytes r = udp.call(command(1000, 0, 0));
  uint16_t id = le16(r, 4);
  std::vector<Bytes> chunks;
  udp.call(command(111, id, 1, u32s({0xB0000000u, 16})), &chunks, 1000);
  EXPECT_LE(chunks.size(), 1u) << "no data from the fault range";
  r = udp.call(command(2000, id, 2), nullptr, 1000);
  EXPECT_TRUE(r.empty() || le16(r, 0) != 2000u) << "the old connection id is unknown after the restart";
  r.clear();
  for (int i = 0; i < 5 && r.empty(); ++i) r = udp.call(command(1000, 0, 0), nullptr, 1000);
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(le16(r, 0), 2000u);
  EXPECT_EQ(sim.stop(), 0);
}

}  // namespace
