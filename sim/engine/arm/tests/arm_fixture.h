// What the ARM engine's tests share: the built boot-loader image, a machine with
// it in flash, a host that feeds bytes and stops on a condition, and readers for
// the panel frames and command packets.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unicorn/unicorn.h>

#include "sim/engine/arm/arm_engine.h"
#include "sim/machine/machine.h"

namespace armtest {

inline std::string build_dir() {
  const char* d = std::getenv("QUELMARK_BUILD_DIR");
  return d ? d : ".";
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

inline const std::vector<uint8_t>& boot_image() {
  static const std::vector<uint8_t> image = read_file(build_dir() + "/firmware/bootloader.bin");
  return image;
}

// A host that runs a step function at every turn and stops when it says so, or
// after a budget of emulated time.
class Host : public sim::EngineHost {
 public:
  explicit Host(const sim::Clock& clock) : clock_(clock) {}
  std::function<bool()> step;  // false: stop
  uint64_t limit_ticks = 0;    // 0: no limit
  bool timed_out = false;
  uint64_t turns = 0;
  bool service() override {
    ++turns;
    if (limit_ticks && clock_.ticks() >= limit_ticks) {
      timed_out = true;
      return false;
    }
    return !step || step();
  }

 private:
  const sim::Clock& clock_;
};

// The panel frames written so far: (command, first data byte) pairs.
inline std::vector<std::pair<int, int>> panel_frames(const std::vector<uint8_t>& tx) {
  std::vector<std::pair<int, int>> frames;
  for (size_t i = 0; i + 4 < tx.size();) {
    if (tx[i] == 0x53 && tx[i + 1] == 0x53 && (tx[i + 2] ^ tx[i + 3]) == 0xFF) {
      frames.emplace_back(tx[i + 2], tx[i + 4]);
      i += 22;
    } else {
      ++i;
    }
  }
  return frames;
}

constexpr uint64_t ms(uint64_t n) { return n * sim::OsTimer::kHz / 1000; }

// A terminal with the built image at flash offset 0 and the ARM engine on it.
struct Terminal {
  explicit Terminal(uint16_t flash_id = 0x22C4, bool ethernet = true,
                    sim::OsTimer::Mode mode = sim::OsTimer::Mode::Virtual,
                    sim::ArmEngine::Options opt = sim::ArmEngine::Options())
      : machine(flash_id, mode, ethernet), engine(machine, opt), host(machine.bus.timer) {
    machine.bus.flash.set_contents(0, boot_image());
    machine.dev.btuart.on_transmit([this](uint8_t b) { panel.push_back(b); });
  }

  // Runs until `done` holds (checked at every host turn) or `budget` of
  // emulated time passes; returns the last exit.
  sim::EngineExit run_until(std::function<bool()> done, uint64_t budget = ms(5000)) {
    host.limit_ticks = machine.bus.timer.ticks() + budget;
    host.timed_out = false;
    host.step = [&] { return !done(); };
    return engine.run(host);
  }
  // Runs until the main loop polls the command port (its first read of the
  // line status: nothing before the main loop reads it).
  bool boot(uint64_t budget = ms(3000)) {
    run_until([&] { return machine.dev.ffuart.lsr_reads() > 0; }, budget);
    return machine.dev.ffuart.lsr_reads() > 0;
  }
  std::vector<std::pair<int, int>> frames() const { return panel_frames(panel); }

  sim::Machine machine;
  sim::ArmEngine engine;
  Host host;
  std::vector<uint8_t> panel;
};

}  // namespace armtest
