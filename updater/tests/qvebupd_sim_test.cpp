// qvebupd against the simulated terminal (quelmark-sim: the boot loader's own
// logic in loader mode on the simulated board, met on 127.0.0.1 and on a
// pseudo-terminal): the image it carries ends up at flash offset 0.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process_runner.h"

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
    std::vector<std::string> argv{QVEBUPD_SIM, "--loader", "--udp", "127.0.0.1:0", "--flash", flash_,
                                  "--image", old, "--pty-link", link, "--panel-log", dir + "/panel.log"};
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addopen(&fa, 2, (dir + "/sim.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, cargv[0], &fa, nullptr, cargv.data(), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    // "listening on 127.0.0.1:PORT" then "command port /dev/pts/N".
    // The read end stays open until Stop(): later output must not meet a closed pipe.
    out_ = out[0];
    std::string text;
    char c;
    pollfd p{out_, POLLIN, 0};
    while (pid_ != 0 && std::count(text.begin(), text.end(), '\n') < 2 &&
           poll(&p, 1, 10000) == 1 && read(out_, &c, 1) == 1) {
      text += c;
    }
    const std::string key = "listening on 127.0.0.1:";
    const std::size_t at = text.find(key);
    if (at != std::string::npos) port_ = std::stoi(text.substr(at + key.size()));
    pty_ = link;
  }
  ~SimTerminal() { Stop(); }

  // Ends the runner, which writes the flash file back.
  void Stop() {
    if (pid_ != 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      pid_ = 0;
    }
    if (out_ >= 0) close(out_);
    out_ = -1;
  }
  int port() const { return port_; }
  const std::string& pty() const { return pty_; }
  std::string Flash() const { return ProcessRunner::Slurp(flash_); }

 private:
  std::string flash_, pty_;
  pid_t pid_ = 0;
  int out_ = -1;
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
