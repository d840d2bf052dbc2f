// quelmark-sim with the real device-communication library in front of it:
// libvordlix over UDP (vxnet.dll) and over the pseudo-terminal (vxserial.dll),
// as the boot updater uses them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "sim/runner/tests/runner_process.h"
#include <vordlix/vordlix.h>

namespace {

using namespace runnertest;

class RunnerVordlixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VORDLIX_LOCAL_PORT", "0", 1);
    char tmpl[] = "/tmp/quelmark-sim-vx-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    flash_ = dir_ + "/flash.bin";
    write_file(dir_ + "/empty.bin", {});
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::vector<std::string> args() {
    return {"--engine", "native", "--udp", "127.0.0.1:0", "--flash", flash_, "--image", dir_ + "/empty.bin",
            "--panel-log", dir_ + "/panel.log", "--pty-link", dir_ + "/tty"};
  }

  // Version, then the boot updater's transfer: the image with 110 target 0.
  void update(int32_t h, const Bytes& image) {
    ASSERT_NE(h, 0);
    uint16_t reply = 1100;
    char text[64] = {};
    ASSERT_EQ(VORDLIX_SENDCMD(h, &reply, text, sizeof text, 0, 5000), VORDLIX_OK);
    EXPECT_EQ(reply, 2000);
    EXPECT_STREQ(text, "BLDR Apr 14 2004");
    Bytes params = u32s({0, 0});
    reply = 110;
    ASSERT_EQ(VORDLIX_SENDCMDDATA(h, &reply, image.data(), static_cast<int32_t>(image.size()),
                                  params.data(), 8, 60000),
              VORDLIX_OK);
    EXPECT_EQ(reply, 2000);
    EXPECT_EQ(VORDLIX_CLOSE(h), VORDLIX_OK);
  }

  std::string dir_, flash_;
};

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 9));
  return b;
}

TEST_F(RunnerVordlixTest, TheUpdatersTransferOverUdpAndOverTheSerialLine) {
  Sim sim(args());
  ASSERT_TRUE(sim.wait_ready());
  Bytes net_image = pattern(20464, 3);
  update(VORDLIX_INIT("vxnet.dll", "127.0.0.1", sim.port, 0, 0, 0), net_image);
  Bytes serial_image = pattern(6000, 77);
  std::string tty = dir_ + "/tty";
  update(VORDLIX_INIT("vxserial.dll", tty.c_str(), 1, 115200, 0, 0), serial_image);
  EXPECT_EQ(sim.stop(), 0);
  Bytes flash = read_file(flash_);
  ASSERT_EQ(flash.size(), 0x200000u);
  Bytes expect = net_image;
  std::copy(serial_image.begin(), serial_image.end(), expect.begin());
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + expect.size()), expect);
}

}  // namespace
