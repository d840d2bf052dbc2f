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

#include "testing/reference.h"
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
    machine.dev.ffuart.on_transmit([this](uint8_t b) { tx.push_back(b); });
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

  // One command packet in a serial frame on the command port; runs until the
  // reply frame (not a 1500/1501 one) is complete and returns its packet (empty
  // when none came within the budget). Chunks of a memory read go to `chunks`.
  std::vector<uint8_t> serial_call(const std::vector<uint8_t>& packet,
                                   sim::EngineExit* exit = nullptr,
                                   std::vector<std::vector<uint8_t>>* chunks = nullptr,
                                   uint64_t budget = ms(5000)) {
    machine.dev.ffuart.push_rx(serial_frame(packet));
    std::vector<uint8_t> reply;
    bool have = false;
    int after = 0;
    // After the reply the loader drains its input: stop only a few polls
    // later, as a host's next request comes well after the reply.
    sim::EngineExit x = run_until([&] {
      if (have) return ++after >= 3;
      for (;;) {
        if (tx.size() < 8) return false;
        size_t n = 8 + (tx[4] | (tx[5] << 8));
        if (tx.size() < n) return false;
        std::vector<uint8_t> p(tx.begin() + 8, tx.begin() + n);
        tx.erase(tx.begin(), tx.begin() + n);
        if (p.size() >= 2 && ((p[0] | (p[1] << 8)) == 1500 || (p[0] | (p[1] << 8)) == 1501)) {
          if (chunks) chunks->push_back(p);
          continue;
        }
        reply = p;
        have = true;
        return false;
      }
    }, budget);
    if (exit) *exit = x;
    return reply;
  }

  static uint16_t inet_sum(const uint8_t* p, size_t n) { return qtest::ref_checksum(p, n); }
  static std::vector<uint8_t> serial_frame(const std::vector<uint8_t>& packet) { return qtest::frame(packet); }
  static std::vector<uint8_t> command(uint16_t cmd, uint16_t conn, uint16_t seq,
                                      const std::vector<uint8_t>& data = {}) {
    return qtest::packet(cmd, conn, seq, data);
  }
  static std::vector<uint8_t> u32s(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> b;
    for (uint32_t v : values)
      for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
  }
  static uint16_t le16(const std::vector<uint8_t>& b, size_t at) { return b[at] | (b[at + 1] << 8); }

  // Connects on the command port and sends `data` as 1500 and 1501 chunks;
  // returns the connection id and leaves *seq at the next sequence number.
  uint16_t upload(const std::vector<uint8_t>& data, uint16_t* seq) {
    std::vector<uint8_t> r = serial_call(command(1000, 0, 0));
    EXPECT_GE(r.size(), 8u);
    if (r.size() < 8) return 0;
    uint16_t id = le16(r, 4);
    *seq = 1;
    r = serial_call(command(1500, id, (*seq)++, u32s({static_cast<uint32_t>(data.size())})));
    EXPECT_EQ(r.size() >= 2 ? le16(r, 0) : 0, 2000);
    for (size_t at = 0; at < data.size(); at += 2000) {
      size_t n = std::min<size_t>(2000, data.size() - at);
      r = serial_call(command(1501, id, (*seq)++,
                              std::vector<uint8_t>(data.begin() + at, data.begin() + at + n)));
      EXPECT_EQ(r.size() >= 2 ? le16(r, 0) : 0, 2000);
    }
    return id;
  }

  sim::Machine machine;
  sim::ArmEngine engine;
  Host host;
  std::vector<uint8_t> panel;
  std::vector<uint8_t> tx;  // command-port bytes not yet taken by serial_call
};

// A tiny position-independent program: it sums its own bytes, stores its entry
// address at the doorbell (0x4FF00000) and the sum at 0x4FF00004, then spins.
// `marker` is its last word, so that two versions differ.
inline std::vector<uint8_t> doorbell_program(uint32_t marker = 0) {
  const uint32_t words[] = {
      0xE24F0008,  // sub   r0, pc, #8          entry address
      0xE59F102C,  // ldr   r1, [pc, #0x2C]     length (the word at 0x38)
      0xE3A02000,  // mov   r2, #0
      0xE1A03000,  // mov   r3, r0
      0xE4D34001,  // 1: ldrb r4, [r3], #1
      0xE0822004,  // add   r2, r2, r4
      0xE2511001,  // subs  r1, r1, #1
      0x1AFFFFFB,  // bne   1b
      0xE3A0544F,  // mov   r5, #0x4F000000
      0xE385560F,  // orr   r5, r5, #0x00F00000
      0xE5850000,  // str   r0, [r5]
      0xE5852004,  // str   r2, [r5, #4]
      0xEAFFFFFE,  // b     .
      0xE1A00000,  // nop
      0x00000040,  // length of the program in bytes
      0x00000000,  // marker
  };
  std::vector<uint8_t> b;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(w >> (8 * i)));
  for (int i = 0; i < 4; ++i) b[0x3C + i] = static_cast<uint8_t>(marker >> (8 * i));
  return b;
}

inline uint32_t byte_sum(const std::vector<uint8_t>& b) {
  uint32_t s = 0;
  for (uint8_t x : b) s += x;
  return s;
}

// The firmware header (magic, address bits 31-16, payload length) and payload.
inline std::vector<uint8_t> firmware(uint16_t magic, uint16_t addr_hi, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> f = {static_cast<uint8_t>(magic), static_cast<uint8_t>(magic >> 8),
                            static_cast<uint8_t>(addr_hi), static_cast<uint8_t>(addr_hi >> 8)};
  uint32_t n = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(n >> (8 * i)));
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

}  // namespace armtest
