// quelmark-sim end to end: the real program, started with a flash file in a
// temporary folder, driven over its UDP socket on 127.0.0.1 and over its
// pseudo-terminal, stopped with SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <arpa/inet.h>

#include "sim/runner/tests/runner_process.h"
#include "testing/terminal_hosts.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {
using namespace runnertest;

using qtest::SerialHost;
using qtest::UdpHost;

class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quelmark-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    flash_ = dir_ + "/flash.bin";
    image_ = dir_ + "/image.bin";
    for (size_t i = 0; i < 3000; ++i) image_bytes_.push_back(static_cast<uint8_t>(i * 13 + 1));
    write_file(image_, image_bytes_);
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  std::vector<std::string> args() {
    // The native engine: these tests use made-up images (see sim/engine/arm/tests
    // for the real image on the ARM engine).
    return {"--engine", "native", "--loader", "--udp", "127.0.0.1:0", "--flash", flash_, "--image", image_,
            "--panel-log", dir_ + "/panel.log"};
  }

  // 1500, the chunks, 110 with the given target; returns the 110 reply.
  template <class Host>
  Bytes transfer(Host& host, uint16_t id, uint16_t* seq, const Bytes& data, uint32_t target,
                 size_t chunk) {
    Bytes r = host.call(command(1500, id, (*seq)++, u32s({uint32_t(data.size())})));
    EXPECT_EQ(le16(r, 0), 2000u);
    for (size_t at = 0; at < data.size(); at += chunk) {
      Bytes part(data.begin() + at, data.begin() + std::min(data.size(), at + chunk));
      r = host.call(command(1501, id, (*seq)++, part));
      EXPECT_EQ(le16(r, 0), 2000u) << "chunk at " << at;
    }
    return host.call(command(110, id, (*seq)++, u32s({target, 0})));
  }

  std::string dir_, flash_, image_;
  Bytes image_bytes_;
};

TEST_F(RunnerTest, NewFlashHoldsTheImageAndPanelFramesAreLogged) {
  Sim sim(args());
  ASSERT_TRUE(sim.wait_ready());
  EXPECT_EQ(sim.stop(), 0);
  Bytes flash = read_file(flash_);
  ASSERT_EQ(flash.size(), 0x200000u);
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + image_bytes_.size()), image_bytes_);
  EXPECT_EQ(Bytes(flash.begin() + image_bytes_.size(), flash.end()),
            Bytes(flash.size() - image_bytes_.size(), 0xFF));
  std::ifstream log(dir_ + "/panel.log");
  std::string l1, l2, l3;
  std::getline(log, l1);
  std::getline(log, l2);
  std::getline(log, l3);
  EXPECT_NE(l1.find("53 53 03 FC 0A 00"), std::string::npos) << l1;
  EXPECT_NE(l2.find("53 53 03 FC 0A 00"), std::string::npos) << l2;
  EXPECT_NE(l3.find("53 53 17 E8 01 00"), std::string::npos) << l3;
}

TEST_F(RunnerTest, NewFlashHoldsTheBuiltImageByDefault) {
  std::string exe = sim_exe();
  Bytes built = read_file(exe.substr(0, exe.rfind('/')) + "/../firmware/bootloader.bin");
  if (built.empty()) GTEST_SKIP() << "no firmware image in this build";
  Sim sim({"--engine", "native", "--udp", "127.0.0.1:0", "--flash", flash_, "--panel-log",
           dir_ + "/panel.log"});
  ASSERT_TRUE(sim.wait_ready());
  EXPECT_EQ(sim.stop(), 0);
  Bytes flash = read_file(flash_);
  ASSERT_EQ(flash.size(), 0x200000u);
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + built.size()), built);
}

TEST_F(RunnerTest, OverUdpVersionAndAFlashWriteThatSurvivesTheStop) {
  Sim sim(args());
  ASSERT_TRUE(sim.wait_ready());
  UdpHost host(sim.port);
  Bytes r = host.call(command(1000, 0, 0));
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(le16(r, 0), 2000u);
  uint16_t id = le16(r, 4), seq = 1;
  r = host.call(command(1100, id, seq++));
  ASSERT_EQ(r.size(), 25u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&r[8]), "BLDR Apr 14 2004");

  Bytes image(20464);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
  r = transfer(host, id, &seq, image, 0, 1024);
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(le16(r, 0), 2000u);

  // A memory read of the flash window sees the new bytes.
  std::vector<Bytes> chunks;
  r = host.call(command(111, id, seq++, u32s({0xFF800000u, 2048})), &chunks);
  EXPECT_EQ(le16(r, 0), 2000u);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(Bytes(chunks[1].begin() + 8, chunks[1].end()), Bytes(image.begin(), image.begin() + 1024));

  EXPECT_EQ(sim.stop(), 0);
  Bytes flash = read_file(flash_);
  ASSERT_EQ(flash.size(), 0x200000u);
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + image.size()), image);

  // Started again on the same file, the flash is kept.
  Sim again(args());
  ASSERT_TRUE(again.wait_ready());
  UdpHost h2(again.port);
  r = h2.call(command(1000, 0, 0));
  id = le16(r, 4);
  r = h2.call(command(111, id, 1, u32s({0xFF800000u + 20000, 16})), &chunks);
  EXPECT_EQ(Bytes(chunks.back().begin() + 8, chunks.back().end()),
            Bytes(image.begin() + 20000, image.begin() + 20016));
  EXPECT_EQ(again.stop(), 0);
}

TEST_F(RunnerTest, TwoHostSocketsAreTwoPeers) {
  Sim sim(args());
  ASSERT_TRUE(sim.wait_ready());
  UdpHost a(sim.port), b(sim.port);
  Bytes ra = a.call(command(1000, 0, 0));
  Bytes rb = b.call(command(1000, 0, 0));
  ASSERT_EQ(ra.size(), 8u);
  ASSERT_EQ(rb.size(), 8u);
  EXPECT_NE(le16(ra, 4), le16(rb, 4)) << "each socket has its own connection record";
  EXPECT_EQ(le16(b.call(command(2000, le16(rb, 4), 1)), 0), 2000u);
  EXPECT_FALSE(a.receive(200)) << "b's reply went to b only";
  EXPECT_EQ(sim.stop(), 0);
}

TEST_F(RunnerTest, OverThePseudoTerminal) {
  std::vector<std::string> a = args();
  a.push_back("--pty-link");
  a.push_back(dir_ + "/ttyQM0");
  Sim sim(a);
  ASSERT_TRUE(sim.wait_ready());
  SerialHost host(dir_ + "/ttyQM0");
  ASSERT_TRUE(host.ok());
  Bytes r = host.call(command(1000, 0, 0));
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(le16(r, 0), 2000u);
  uint16_t id = le16(r, 4), seq = 1;
  r = host.call(command(1100, id, seq++));
  ASSERT_EQ(r.size(), 25u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&r[8]), "BLDR Apr 14 2004");
  Bytes data(5000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 ^ i);
  r = transfer(host, id, &seq, data, 0, 2032);
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(le16(r, 0), 2000u);
  EXPECT_EQ(sim.stop(), 0);
  Bytes flash = read_file(flash_);
  ASSERT_EQ(flash.size(), 0x200000u);
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + data.size()), data);
  EXPECT_EQ(access((dir_ + "/ttyQM0").c_str(), F_OK), -1) << "the link is removed at the end";
}

TEST_F(RunnerTest, RestartAndJumpComeBackInLoaderMode) {
  Sim sim(args());
  ASSERT_TRUE(sim.wait_ready());
  UdpHost host(sim.port);
  uint16_t id = le16(host.call(command(1000, 0, 0)), 4);
  EXPECT_EQ(le16(host.call(command(1004, id, 1)), 0), 0xFFFFu) << "reply, then restart";
  // The records are gone: the old id is unknown, a new connect works.
  host.send(command(2000, id, 2));
  EXPECT_FALSE(host.receive(300));
  id = le16(host.call(command(1000, 0, 0)), 4);
  // Uploaded code cannot run natively: the runner logs the jump and restarts.
  EXPECT_EQ(le16(host.call(command(1500, id, 1, u32s({16}))), 0), 2000u);
  EXPECT_EQ(le16(host.call(command(1501, id, 2, Bytes(16, 0xE1))), 0), 2000u);
  host.send(command(1016, id, 3, u32s({0xA0200000u})));
  EXPECT_FALSE(host.receive(300)) << "no reply to a run command";
  Bytes r = host.call(command(1000, 0, 0));
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(le16(r, 0), 2000u);
  EXPECT_EQ(sim.stop(), 0);
}

TEST_F(RunnerTest, FlashIdSelectsThePart) {
  struct Case { const char* id; uint16_t code; };
  for (const Case& c : {Case{"0x2249", 2000}, Case{"0x2782", 2000}, Case{"0x1234", 2001}}) {
    SCOPED_TRACE(c.id);
    std::remove(flash_.c_str());
    std::vector<std::string> a = args();
    a.push_back("--flash-id");
    a.push_back(c.id);
    Sim sim(a);
    ASSERT_TRUE(sim.wait_ready());
    UdpHost host(sim.port);
    uint16_t id = le16(host.call(command(1000, 0, 0)), 4), seq = 1;
    Bytes data(4096, 0x5C);
    Bytes r = transfer(host, id, &seq, data, 0, 1024);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(le16(r, 0), c.code) << "an unknown part writes nothing (error 4)";
    EXPECT_EQ(sim.stop(), 0);
    Bytes flash = read_file(flash_);
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + data.size()) == data, c.code == 2000);
  }
}

TEST_F(RunnerTest, RefusesWhatItCannotDo) {
  struct Case { std::vector<std::string> args; };
  const Case cases[] = {
      {{"--udp", "192.168.1.201:4370", "--flash", "x"}},
      {{"--udp", "0.0.0.0:4370", "--flash", "x"}},
      {{"--engine", "qemu", "--flash", "x"}},
      {{"--time", "fast", "--flash", "x"}},
      {{"--flash-id", "0x12345"}},
      {{"--bogus"}},
  };
  for (const Case& c : cases) {
    Sim sim(c.args);
    EXPECT_EQ(sim.wait_exit(), 2) << c.args[0] << " " << (c.args.size() > 1 ? c.args[1] : "");
  }
  // A flash file of the wrong size is not overwritten.
  write_file(flash_, Bytes(100, 0x11));
  Sim sim(args());
  EXPECT_EQ(sim.wait_exit(), 1);
  EXPECT_EQ(read_file(flash_), Bytes(100, 0x11));
}

}  // namespace
