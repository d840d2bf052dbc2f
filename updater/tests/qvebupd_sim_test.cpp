// qvebupd against the simulated terminal (quelmark-sim: the boot loader's own
// logic in loader mode on the simulated board, met on 127.0.0.1 and on a
// pseudo-terminal): the image it carries ends up at flash offset 0.
#include <gtest/gtest.h>

#include <memory>

#include "testing/process.h"
#include "testing/program_runner.h"

#ifdef QVEBUPD_SIM

namespace {

const std::string kProgram = QVEBUPD_PROGRAM;

// One simulated terminal with a fresh flash file holding an old boot loader.
class SimTerminal {
 public:
  explicit SimTerminal(const std::string& dir) : flash_(dir + "/flash.bin") {
    const std::string old = dir + "/old_loader.bin";
    std::ofstream(old, std::ios::binary) << std::string(4096, '\x55');
    const std::string link = dir + "/ttyQM";
    sim_ = std::make_unique<qtest::Process>(
        QVEBUPD_SIM,
        std::vector<std::string>{"--loader", "--engine", "native", "--udp", "127.0.0.1:0", "--flash", flash_, "--image",
                                 old, "--pty-link", link, "--panel-log", dir + "/panel.log"},
        std::vector<std::string>{}, dir + "/sim.err");
    if (sim_->wait_listening()) port_ = sim_->port;
    pty_ = link;
  }
  ~SimTerminal() { Stop(); }

  // Ends the runner, which writes the flash file back.
  void Stop() {
    if (sim_) sim_->stop();
  }
  int port() const { return port_; }
  const std::string& pty() const { return pty_; }
  std::string Flash() const { return ProcessRunner::Slurp(flash_); }

 private:
  std::string flash_, pty_;
  std::unique_ptr<qtest::Process> sim_;
  int port_ = 0;
};

const std::string kDone =
    " ... OK!\r\nUpgrading bootloader, Please wait... \r\nOK! Please Restart the device.\r\n";

TEST(QvebupdSim, OverTheNetworkTheImageIsWrittenAtFlashOffsetZero) {
  ProcessRunner runner;
  SimTerminal sim(runner.dir());
  ASSERT_NE(sim.port(), 0) << "the simulated terminal did not start";
  const std::string port = std::to_string(sim.port());
  const RunResult r = runner.Run(kProgram, {"127.0.0.1", port});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Connect to device with 127.0.0.1, " + port + kDone);
  sim.Stop();
  const std::string image = ProcessRunner::Slurp(QVEBUPD_EMBEDDED_IMAGE);
  const std::string flash = sim.Flash();
  ASSERT_EQ(flash.size(), 2u << 20);
  EXPECT_TRUE(flash.compare(0, image.size(), image) == 0) << "flash offset 0 is not the image";
}

TEST(QvebupdSim, OverTheSerialLineTheImageIsWrittenToo) {
  ProcessRunner runner;
  SimTerminal sim(runner.dir());
  ASSERT_NE(sim.port(), 0) << "the simulated terminal did not start";
  runner.SetEnv("VORDLIX_COM1=" + sim.pty());
  const RunResult r = runner.Run(kProgram, {"COM1"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "Connect to device with COM1, 1" + kDone);
  sim.Stop();
  const std::string image = ProcessRunner::Slurp(QVEBUPD_EMBEDDED_IMAGE);
  EXPECT_TRUE(sim.Flash().compare(0, image.size(), image) == 0) << "flash offset 0 is not the image";
}

}  // namespace

#else
TEST(QvebupdSim, NotBuilt) { GTEST_SKIP() << "qvebupd or quelmark-sim is not built"; }
#endif
