// The program against quelmark-sim in loader mode on 127.0.0.1: the whole 2 MB
// read back equal to the flash file (as a process: exit code, plain progress
// lines), boot verify and update on the boot loader, and the main firmware
// written plain and LZO1X on the ARM engine, started by the boot loader at the
// next power-on.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/tests/test_host.h"
#include "testing/process.h"

namespace {

using clitest::Result;
using clitest::RunCli;

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string Temp(const std::string& name) { return clitest::TempPath(name); }

std::vector<std::string> At(const qtest::Sim& sim, std::vector<std::string> rest) {
  std::vector<std::string> a = {"--address", sim.address, "--port", std::to_string(sim.port)};
  a.insert(a.end(), rest.begin(), rest.end());
  return a;
}

TEST(CliLoader, FlashReadOfTheWhole2MbEqualsTheFlashFile) {
  const std::string flash = Temp("flash_read.bin"), out = Temp("read_out.bin"), err = Temp("read_err.txt");
  unlink(flash.c_str());
  qtest::Sim sim({"--loader", "--engine", "native", "--udp", "127.0.0.1:0", "--flash", flash}, Temp("sim_err.txt"));
  ASSERT_TRUE(sim.wait_ready());
  qtest::Process cli(qtest::program("quelmark"), At(sim, {"flash", "read", "--out", out}), {"VORDLIX_LOCAL_PORT=0"},
                     err);
  EXPECT_EQ(cli.wait_exit(), 0) << ReadFile(err);
  EXPECT_NE(ReadFile(err).find("reading flash: 2097152/2097152 bytes"), std::string::npos)
      << "plain progress lines when standard error is no terminal: " << ReadFile(err);
  EXPECT_EQ(sim.stop(), 0);
  const std::string read = ReadFile(out);
  EXPECT_EQ(read.size(), 2097152u);
  EXPECT_TRUE(read == ReadFile(flash)) << "the read-back equals the simulated flash";
}

TEST(CliLoader, BootVerifyAndUpdateOnTheBootLoader) {
  const std::string flash = Temp("flash_boot.bin");
  unlink(flash.c_str());
  qtest::Sim sim({"--loader", "--engine", "native", "--udp", "127.0.0.1:0", "--flash", flash}, Temp("sim_err2.txt"));
  ASSERT_TRUE(sim.wait_ready());
  const std::string built = ReadFile(qtest::build_dir() + "/firmware/bootloader.bin");
  ASSERT_GT(built.size(), 1000u);
  EXPECT_EQ(RunCli(At(sim, {"boot", "verify"}), built).code, 0) << "a new flash holds the built loader";
  std::string changed = built;
  changed[changed.size() - 1] ^= 0x01;
  changed += std::string(100, '\x5A');
  Result r = RunCli(At(sim, {"boot", "verify"}), changed);
  EXPECT_EQ(r.code, qcli::kExitMismatch);
  EXPECT_NE(r.err.find("differs"), std::string::npos);
  const std::string backup = Temp("boot_backup.bin");
  r = RunCli(At(sim, {"boot", "update", "--backup", backup}), changed);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("backup of the boot area saved to " + backup), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(backup).substr(0, built.size()), built);
  EXPECT_EQ(ReadFile(backup).size(), 0x10000u);
  // The loader restarted (1004); a new connection finds the new image.
  EXPECT_EQ(RunCli(At(sim, {"boot", "verify"}), changed).code, 0);
  EXPECT_EQ(RunCli(At(sim, {"version"})).out, "BLDR Apr 14 2004\n");
}

bool WaitForText(const std::string& path, const std::string& text, int ms) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (ReadFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(CliLoader, FirmwareWrittenPlainAndLzoStartsOnTheArmEngine) {
  const std::string standin = qtest::build_dir() + "/firmware/standin.bin";
  for (const char* form : {"--plain", "--lzo"}) {
    SCOPED_TRACE(form);
    const std::string flash = Temp(std::string("flash_fw") + form + ".bin"), err = Temp("sim_fw_err.txt");
    unlink(flash.c_str());
    {
      qtest::Sim sim({"--loader", "--udp", "127.0.0.1:0", "--flash", flash}, err);
      ASSERT_TRUE(sim.wait_ready());
      Result r = RunCli(At(sim, {"firmware", "write", standin, "--load-address", "0xA0200000", form}));
      EXPECT_EQ(r.code, 0) << r.err;
      EXPECT_NE(r.out.find("firmware written and verified"), std::string::npos) << r.out;
      r = RunCli(At(sim, {"restart"}));
      EXPECT_EQ(r.code, 0);
      // The loader's restart reads the copy of the flash taken at power-on:
      // it comes back in loader mode.
      r = RunCli(At(sim, {"version"}));
      EXPECT_EQ(r.out, "BLDR Apr 14 2004\n") << r.err;
      EXPECT_EQ(ReadFile(err).find("firmware started"), std::string::npos);
      EXPECT_EQ(sim.stop(), 0);
    }
    // Power on again (main-firmware mode): the boot loader finds the firmware and starts it.
    qtest::Sim again({"--udp", "127.0.0.1:0", "--flash", flash, "--options", Temp("options.txt")}, err);
    EXPECT_TRUE(WaitForText(err, "firmware started at 0xA0200000 with sum 0x", 20000)) << ReadFile(err);
    EXPECT_EQ(again.stop(), 0);
  }
}

}  // namespace
