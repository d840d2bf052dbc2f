// build/bin/quelmark-cli-bench: what quelmark's transfers and batches cost on this
// machine, against simulated terminals on 127.0.0.1 (figures in cli/README.md).
//   - flash read of the whole 2 MB over UDP and over the command port's
//     pseudo-terminal (quelmark-sim, loader mode, native engine), against the
//     serial line rate of 115,200 baud;
//   - boot update (backup, transfer, read-back, compare) against a plain qvebupd run;
//   - batch of 16 terminals (main-firmware personality) with 1, 4 and 8 jobs.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cli/quelmark.h"
#include "sim/terminal/main_firmware.h"
#include "testing/arp_recorder.h"
#include "testing/process.h"
#include "vordlix/testpeer/test_peer.h"

namespace {

class QuietHost : public qcli::RealHost {
 public:
  void Out(const std::string&) override {}
  void Err(const std::string& t) override { err += t; }
  bool ErrIsTerminal() override { return false; }
  bool BootImage(std::string* image) override;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

bool QuietHost::BootImage(std::string* image) {
  *image = ReadFile(qtest::build_dir() + "/firmware/bootloader.bin");
  return !image->empty();
}

double Seconds(const std::function<int()>& run, int* code) {
  const auto t0 = std::chrono::steady_clock::now();
  *code = run();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int Cli(const std::vector<std::string>& args) {
  QuietHost host;
  const int code = qcli::Main(host, args);
  if (code != 0) fprintf(stderr, "quelmark %s: exit %d: %s", args.back().c_str(), code, host.err.c_str());
  return code;
}

}  // namespace

int main() {
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
  char dir_template[] = "/tmp/quelmark-cli-bench-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string flash = dir + "/flash.bin", out = dir + "/read.bin";
  int code = 0;

  {
    qtest::Sim sim({"--loader", "--engine", "native", "--udp", "127.0.0.1:0", "--flash", flash, "--pty-link",
                    dir + "/tty"},
                   dir + "/sim.err");
    if (!sim.wait_ready()) {
      fprintf(stderr, "quelmark-sim did not start\n");
      return 1;
    }
    const std::string port = std::to_string(sim.port);
    const double line = 2097152.0 * 10 / 115200;
    printf("flash read of 2 MB (2,097,152 bytes); the serial line at 115,200 baud would take %.1f s\n", line);
    for (int round = 0; round < 3; ++round) {
      const double s = Seconds([&] { return Cli({"--address", "127.0.0.1", "--port", port, "flash", "read", "--out", out}); }, &code);
      printf("  UDP:                        %.3f s  (%.1f MB/s)%s\n", s, 2.0 / s, code ? "  FAILED" : "");
    }
    setenv("VORDLIX_COM9", (dir + "/tty").c_str(), 1);
    const double s = Seconds([&] { return Cli({"--address", "COM9", "flash", "read", "--out", out}); }, &code);
    printf("  serial (pseudo-terminal):   %.3f s  (%.2f MB/s, %.2f of the line time)%s\n", s, 2.0 / s, s / line,
           code ? "  FAILED" : "");

    // Boot update with its backup and read-back, against a plain qvebupd run.
    printf("boot update of the built boot loader (%zu bytes)\n", ReadFile(qtest::build_dir() + "/firmware/bootloader.bin").size());
    // quelmark writes a changed image and qvebupd the built one, so each run writes.
    std::string changed = ReadFile(qtest::build_dir() + "/firmware/bootloader.bin");
    changed[100] ^= 0x55;
    std::ofstream(dir + "/changed.bin", std::ios::binary) << changed;
    for (int round = 0; round < 3; ++round) {
      const double u = Seconds([&] {
        return Cli({"--address", "127.0.0.1", "--port", port, "boot", "update", "--image", dir + "/changed.bin",
                    "--backup", dir + "/backup.bin"});
      }, &code);
      printf("  quelmark boot update (UDP): %.3f s (64 KB backup, transfer, read-back)%s\n", u, code ? "  FAILED" : "");
      qtest::ArpRecorder arp;
      const double q = Seconds([&] {
        qtest::Process p(qtest::program("qvebupd"), {"127.0.0.1", port}, arp.env(), dir + "/qvebupd.err");
        return p.wait_exit();
      }, &code);
      printf("  qvebupd (UDP):              %.3f s (1 s of it its pause after the neighbour-cache flush)%s\n", q,
             code ? "  FAILED" : "");
    }
    sim.stop();
  }

  // Batch of 16 terminals of the main-firmware personality, in this process.
  std::vector<std::shared_ptr<sim::terminal::MainFirmware>> firmwares;
  std::vector<std::unique_ptr<vordlix::testpeer::TestPeer>> peers;
  const std::string voices = dir + "/voices.ini";
  std::ofstream(voices) << "[QZX]\nVoices=5\n";
  const int n = 16;
  printf("batch of %d terminals (preset, serial, vendor, product, voice, an option; 300 ms settle pause each)\n", n);
  double one = 0;
  for (int jobs : {1, 4, 8}) {
    firmwares.clear();
    peers.clear();
    const std::string plan = dir + "/plan.csv";
    std::ofstream p(plan);
    p << "terminal,port,preset,serial,vendor,product,voice,options\n";
    for (int i = 0; i < n; ++i) {
      firmwares.push_back(std::make_shared<sim::terminal::MainFirmware>());
      peers.push_back(vordlix::testpeer::TestPeer::StartUdp(firmwares.back()));
      p << "127.0.0.1," << peers.back()->port() << ",R7 In/Out," << 200000 + i << ",Vendor,Product" << i
        << ",QZX,Site=" << i << "\n";
    }
    p.close();
    const double s = Seconds([&] { return Cli({"batch", plan, "--jobs", std::to_string(jobs), "--voices", voices}); }, &code);
    if (jobs == 1) one = s / n;
    printf("  --jobs %d: %.2f s, %.0f terminals per minute, ratio to (terminals / jobs) x one terminal: %.2f%s\n",
           jobs, s, n * 60 / s, s / (double(n) / jobs * one), code ? "  FAILED" : "");
  }
  printf("  (one terminal: %.3f s, from the --jobs 1 run)\n", one);
  std::string rm = "rm -rf " + dir;
  return system(rm.c_str()) == 0 ? 0 : 1;
}
