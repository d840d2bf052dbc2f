// Prints how fast the main-firmware stand-in answers through the real library:
// connect-to-reply time (VORDLIX_INIT), and the round trips of commands 11 and
// 12 as the tool sends them, on UDP (127.0.0.1) and on a pseudo-terminal, with
// the option store in memory and in a file (every write renamed into place).
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/terminal/main_firmware.h"
#include <vordlix/vordlix.h>
#include "vordlix/testpeer/test_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Figures {
  double median, p90;
};

Figures Summary(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[v.size() * 9 / 10]};
}

void Run(bool serial, bool file, int rounds) {
  sim::FlashModel flash;
  auto firmware = std::make_shared<sim::terminal::MainFirmware>(&flash);
  std::string store;
  if (file) {
    char dir[] = "/tmp/firmware-bench-XXXXXX";
    if (!::mkdtemp(dir)) return;
    store = std::string(dir) + "/options.txt";
    std::string error;
    if (!firmware->OpenStore(store, &error)) {
      std::printf("  %s\n", error.c_str());
      return;
    }
  }
  auto peer = serial ? vordlix::testpeer::TestPeer::StartSerial(firmware)
                     : vordlix::testpeer::TestPeer::StartUdp(firmware);
  if (serial) setenv("VORDLIX_COM8", peer->device().c_str(), 1);

  std::vector<double> connect, get, set;
  int failures = 0;
  for (int i = 0; i < rounds; ++i) {
    auto t0 = Clock::now();
    const int32_t h = serial ? VORDLIX_INIT("vxserial.dll", "COM8", 1, 115200, 0, 0)
                             : VORDLIX_INIT("vxnet.dll", "127.0.0.1", peer->port(), 0, 0, 0);
    connect.push_back(Us(Clock::now() - t0));
    if (!h) {
      ++failures;
      continue;
    }
    char buf[400] = "ShowCheckIn";
    uint16_t reply = 11;
    t0 = Clock::now();
    VORDLIX_SENDCMD(h, &reply, buf, 200, 12, 1000);
    get.push_back(Us(Clock::now() - t0));
    failures += reply != 2000;
    const std::string text = "ShowCheckIn=" + std::to_string(i % 2);
    std::memcpy(buf, text.c_str(), text.size() + 1);
    reply = 12;
    t0 = Clock::now();
    VORDLIX_SENDCMD(h, &reply, buf, 100, static_cast<int32_t>(text.size() + 1), 2000);
    set.push_back(Us(Clock::now() - t0));
    failures += reply != 2000;
    VORDLIX_CLOSE(h);
  }
  const Figures c = Summary(connect), g = Summary(get), s = Summary(set);
  std::printf("%-6s store %-6s  connect %7.1f us (90%%: %7.1f)   11 %7.1f us (%7.1f)   12 %7.1f us (%7.1f)   %d rounds, %d failed\n",
              serial ? "serial" : "UDP", file ? "file" : "memory", c.median, c.p90, g.median, g.p90, s.median, s.p90,
              rounds, failures);
  peer.reset();
  if (file) {
    ::unlink(store.c_str());
    ::rmdir(store.substr(0, store.rfind('/')).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 500;
  std::printf("The main-firmware stand-in through libvordlix (median and 90th percentile per call)\n");
  for (bool serial : {false, true})
    for (bool file : {false, true}) Run(serial, file, rounds);
  return 0;
}
