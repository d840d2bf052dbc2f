// build/bin/arm-engine-bench: figures of the ARM engine (the real image on the
// emulated board). Prints
//  - emulated instructions per second (the boot, and the idle main loop);
//  - wall time from reset to the main loop, in virtual and in wall-clock time;
//  - a full qvebupd update against quelmark-sim --engine arm --time wall, over
//    UDP and over the command port's pseudo-terminal, against its floor: the
//    updater's fixed 1,000 ms pause (network only) plus the flash time the
//    loader's own pauses impose (20 µs per halfword program, about 10 ms per
//    erase: counted in a clean run of the same write);
//  - the serial update with the line paced at 115,200 baud (a relay between
//    qvebupd and the terminal's pseudo-terminal that passes 11,520 bytes per
//    second each way) against the line-rate limit: bytes on the wire / 11,520
//    per second, plus the flash time.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "sim/engine/arm/bench/power_cut.h"
#include "sim/engine/arm/tests/arm_hosts.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double cpu_seconds(int who) {
  rusage u{};
  getrusage(who, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Bytes old_flash() {
  Bytes f(sim::FlashModel::kSize, 0xFF);
  const Bytes& img = armtest::boot_image();
  std::copy(img.begin(), img.end(), f.begin());
  const char text[] = "BLDR Jan 02 2003";
  std::copy(text, text + 16, f.begin() + 0x3E20);
  return f;
}

// Passes bytes between two descriptors as a line of `rate` bytes per second
// each way: a byte starts when it is there and the previous one has ended
// (with the relay's 1 ms polls, at most 1 ms of idle line is made up for).
struct Relay {
  Relay(int a, int b, double rate) : a_(a), b_(b), rate_(rate), thread_([this] { loop(); }) {}
  ~Relay() {
    stop_ = true;
    thread_.join();
  }
  std::atomic<uint64_t> ab{0}, ba{0};

 private:
  void loop() {
    const auto t0 = Clock::now();
    while (!stop_) {
      pollfd p[2] = {{a_, POLLIN, 0}, {b_, POLLIN, 0}};
      poll(p, 2, 1);
      const double t = since(t0);
      pass(p[0], a_, b_, ab, ready_ab_, t);
      pass(p[1], b_, a_, ba, ready_ba_, t);
    }
  }
  void pass(const pollfd& p, int from, int to, std::atomic<uint64_t>& count, double& ready,
            double t) {
    if (!(p.revents & POLLIN) || t < ready) return;
    ready = std::max(ready, t - 0.001);
    size_t k = std::min<size_t>(64, 1 + static_cast<size_t>((t - ready) * rate_));
    uint8_t buf[64];
    ssize_t n = read(from, buf, k);
    if (n <= 0) return;
    (void)!write(to, buf, n);
    count += n;
    ready += n / rate_;
  }
  int a_, b_;
  double rate_;
  double ready_ab_ = 0, ready_ba_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

int main() {
  if (!getenv("QUELMARK_BUILD_DIR")) {
    std::string self(4096, '\0');
    ssize_t len = readlink("/proc/self/exe", self.data(), self.size() - 1);
    self.resize(len > 0 ? len : 0);
    setenv("QUELMARK_BUILD_DIR", (self.substr(0, self.rfind('/')) + "/..").c_str(), 1);
  }
  if (armtest::boot_image().empty()) {
    fprintf(stderr, "arm-engine-bench: no firmware/bootloader.bin\n");
    return 1;
  }
  printf("ARM engine: the real boot-loader image (%zu bytes) on the emulated board\n\n",
         armtest::boot_image().size());

  // Reset to main loop, both time modes; instructions per second.
  for (auto mode : {sim::OsTimer::Mode::Virtual, sim::OsTimer::Mode::RealTime}) {
    double best = 1e9, best_cpu = 1e9;
    uint64_t instr = 0;
    double emulated = 0;
    for (int i = 0; i < 5; ++i) {
      auto t0 = Clock::now();
      double c0 = cpu_seconds(RUSAGE_SELF);
      armtest::Terminal t(0x22C4, true, mode);
      t.boot();
      double s = since(t0);
      best_cpu = std::min(best_cpu, cpu_seconds(RUSAGE_SELF) - c0);
      if (s < best) best = s;
      instr = t.engine.instructions();
      emulated = t.machine.bus.timer.elapsed_ms();
    }
    printf("reset to main loop, %s time: %.3f s wall, %.3f s CPU (best of 5; %.0f ms emulated, "
           "%llu instructions)\n",
           mode == sim::OsTimer::Mode::Virtual ? "virtual" : "wall-clock", best, best_cpu, emulated,
           (unsigned long long)instr);
  }
  {
    armtest::Terminal t;
    t.boot();
    uint64_t i0 = t.engine.instructions();
    uint64_t turns = 0;
    auto t0 = Clock::now();
    double c0 = cpu_seconds(RUSAGE_SELF);
    t.run_until([&] { return ++turns > 2000000; }, armtest::ms(1000000));
    double s = since(t0), c = cpu_seconds(RUSAGE_SELF) - c0;
    printf("emulated instructions per second (idle main loop: command port and Ethernet "
           "polled): %.1f M per wall second, %.1f M per CPU second; %.2f M polls per CPU second\n",
           (t.engine.instructions() - i0) / s / 1e6, (t.engine.instructions() - i0) / c / 1e6,
           turns / c / 1e6);
    // A tight loop with no device access: the LZO unpacking of a firmware.
    Bytes big(0x1E0000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>((i * i) >> 7);
    armtest::Terminal u;
    Bytes prog = armtest::doorbell_program(1);
    std::copy(prog.begin(), prog.end(), big.begin());
    u.machine.bus.flash.set_contents(0x10000, armtest::firmware(0x010B, 0xA020, big));
    t0 = Clock::now();
    c0 = cpu_seconds(RUSAGE_SELF);
    u.run_until([] { return false; }, armtest::ms(100000));
    s = since(t0);
    c = cpu_seconds(RUSAGE_SELF) - c0;
    printf("emulated instructions per second (start-up: a 1.9 MB plain firmware copied to SDRAM): "
           "%llu instructions, %.1f M per wall second, %.1f M per CPU second\n\n",
           (unsigned long long)u.engine.instructions(), u.engine.instructions() / s / 1e6,
           u.engine.instructions() / c / 1e6);
  }

  // Flash time of the update the loader imposes: a clean in-process run.
  powercut::Scenario sc;
  sc.data = armtest::boot_image();
  sc.flash = old_flash();
  armtest::Terminal probe;
  probe.machine.bus.flash.set_contents(0, sc.flash);
  probe.boot();
  uint64_t p0 = probe.machine.bus.flash.counters().programs, e0 = probe.machine.bus.flash.counters().erases;
  powercut::Write clean = powercut::write(sc, 0);
  (void)p0;
  (void)e0;
  // Count programs and erases of the clean run from its operations: sector 0 of
  // 0x22C4 is 64 KB: one erase, then 32,768 programs.
  const uint64_t erases = 1, programs = clean.operations - erases;
  const double flash_ms = programs * 0.020 + erases * 10.0;
  printf("update's flash work (0x22C4, image over an older one): %llu operations; the loader's "
         "pauses impose %.0f ms (20 us per program, 10 ms per erase)\n",
         (unsigned long long)clean.operations, flash_ms);

  char tmpl[] = "/tmp/arm-bench-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  const std::string flash = dir + "/flash.bin";
  for (int transport = 0; transport < 3; ++transport) {
    runnertest::write_file(flash, old_flash());
    runnertest::Sim sim({"--engine", "arm", "--time", "wall", "--udp", "127.0.0.1:0", "--flash",
                         flash, "--pty-link", dir + "/tty", "--panel-log", dir + "/panel.log"});
    if (!sim.wait_ready()) {
      fprintf(stderr, "arm-engine-bench: quelmark-sim did not start\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the start-up pauses
    std::string out;
    auto t0 = Clock::now();
    int rc;
    double floor_ms, s;
    if (transport == 0) {
      rc = armtest::run_qvebupd(dir, {"127.0.0.1", std::to_string(sim.port)}, {}, &out);
      s = since(t0);
      floor_ms = 1000 + flash_ms;
      printf("qvebupd over UDP: exit %d, %.0f ms wall; floor %.0f ms; %+.0f ms over it\n", rc,
             s * 1000, floor_ms, s * 1000 - floor_ms);
    } else if (transport == 1) {
      rc = armtest::run_qvebupd(dir, {"COM1"}, {"VORDLIX_COM1=" + dir + "/tty"}, &out);
      s = since(t0);
      floor_ms = flash_ms;
      printf("qvebupd over the serial line (unpaced pseudo-terminal): exit %d, %.0f ms wall; "
             "floor %.0f ms; %+.0f ms over it\n",
             rc, s * 1000, floor_ms, s * 1000 - floor_ms);
    } else {
      int master = posix_openpt(O_RDWR | O_NOCTTY);
      grantpt(master);
      unlockpt(master);
      termios tm{};
      tcgetattr(master, &tm);
      cfmakeraw(&tm);
      tcsetattr(master, TCSANOW, &tm);
      std::string slave = ptsname(master);
      int term = open((dir + "/tty").c_str(), O_RDWR | O_NOCTTY);
      tcgetattr(term, &tm);
      cfmakeraw(&tm);
      tcsetattr(term, TCSANOW, &tm);
      uint64_t wire;
      {
        Relay relay(master, term, 11520.0);
        t0 = Clock::now();
        rc = armtest::run_qvebupd(dir, {"COM1"}, {"VORDLIX_COM1=" + slave}, &out);
        s = since(t0);
        wire = relay.ab + relay.ba;
      }
      close(term);
      close(master);
      double line_ms = wire / 11.520;
      printf("qvebupd over the serial line paced at 115,200 baud: exit %d, %.0f ms wall; %llu "
             "bytes on the wire, line-rate limit %.0f ms; %.3f x (line rate) + flash time "
             "(target: within 1.1 x line rate + %.0f ms = %.0f ms)\n",
             rc, s * 1000, (unsigned long long)wire, line_ms, (s * 1000 - flash_ms) / line_ms,
             flash_ms, 1.1 * line_ms + flash_ms);
    }
    sim.stop();
  }
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
