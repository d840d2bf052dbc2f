// Power cuts at flash operations, on the real image: a write (command 110) is
// made on a terminal in loader mode; in a clean run its flash operations
// (programs and erases) are counted and timed; a cut run stops the flash at
// operation N, leaving what an interrupted operation leaves, and the real image
// is then booted from that flash to see what comes up.
// Used by build/bin/powercut (all figures) and by the tests (a sample).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/engine/arm/tests/arm_fixture.h"

namespace powercut {

using Bytes = std::vector<uint8_t>;

struct Scenario {
  std::string name;
  uint16_t flash_id = 0x22C4;
  uint32_t target = 0;      // 110's storage target
  uint32_t param = 0;       // 110's parameter
  Bytes data;               // what is transferred
  Bytes flash;              // the flash in loader mode before the write (2 MB)
  uint32_t old_sum = 0;     // the doorbell sum of the firmware in `flash`, if any
  uint32_t new_sum = 0;     // the doorbell sum of the firmware written, if any
  uint32_t dest = 0;        // where a complete write leaves `expect` in flash
  Bytes expect;
};

enum class Outcome { Loader, OldFirmware, NewFirmware, Stuck };

inline const char* name(Outcome o) {
  switch (o) {
    case Outcome::Loader: return "loader mode";
    case Outcome::OldFirmware: return "old firmware";
    case Outcome::NewFirmware: return "new firmware";
    case Outcome::Stuck: return "no loader mode";
  }
  return "?";
}

struct Write {
  uint16_t reply = 0;           // 110's reply code (0: none, power was cut)
  uint64_t operations = 0;      // flash operations the write issued (up to the cut)
  std::vector<uint64_t> ticks;  // virtual time at the start of each operation
  Bytes flash;                  // the flash afterwards
};

// A terminal in loader mode on `s.flash`; the firmware area is filled in after
// the boot, as on a terminal whose main firmware handed over to the loader.
inline void to_loader_mode(armtest::Terminal& t, const Bytes& flash) {
  Bytes blank_area = flash;
  std::fill(blank_area.begin() + 0x10000, blank_area.begin() + 0x10008, 0xFF);
  t.machine.bus.flash.set_contents(0, blank_area);
  t.boot();
  t.machine.bus.flash.set_contents(0, flash);
}

// The write, with power cut at operation `cut` (1-based; 0: a clean run).
inline Write write(const Scenario& s, uint64_t cut) {
  armtest::Terminal t(s.flash_id);
  to_loader_mode(t, s.flash);
  uint16_t seq;
  uint16_t id = t.upload(s.data, &seq);
  Write w;
  uint64_t base = t.machine.bus.flash.operations();
  t.machine.bus.flash.on_operation = [&](uint64_t) { w.ticks.push_back(t.machine.bus.timer.ticks()); };
  if (cut) t.machine.bus.flash.cut_power_at(cut);
  using T = armtest::Terminal;
  Bytes r = t.serial_call(T::command(110, id, seq++, T::u32s({s.target, s.param})), nullptr, nullptr,
                          armtest::ms(60000));
  t.machine.bus.flash.on_operation = nullptr;
  w.reply = r.size() >= 2 ? T::le16(r, 0) : 0;
  w.operations = t.machine.bus.flash.operations() - base;
  w.flash.assign(t.machine.bus.flash.data(), t.machine.bus.flash.data() + sim::FlashModel::kSize);
  return w;
}

// Boots the real image from `flash` (power back on) and says what came up.
// With `retry`, a terminal in loader mode is given the same write again, which
// must succeed and leave the data in flash (`*retried` says whether it did).
inline Outcome boot(const Scenario& s, const Bytes& flash, bool retry = false, bool* retried = nullptr) {
  armtest::Terminal t(s.flash_id);
  t.machine.bus.flash.set_contents(0, flash);
  sim::EngineExit x{sim::EngineExit::Restart, 0};
  for (int i = 0; i < 20 && x.kind == sim::EngineExit::Restart &&
                  t.machine.dev.ffuart.lsr_reads() == 0; ++i)
    x = t.run_until([&] { return t.machine.dev.ffuart.lsr_reads() > 0; }, armtest::ms(3000));
  if (x.kind == sim::EngineExit::Started) {
    if (s.new_sum && x.sum == s.new_sum) return Outcome::NewFirmware;
    if (s.old_sum && x.sum == s.old_sum) return Outcome::OldFirmware;
    return Outcome::Stuck;
  }
  if (t.machine.dev.ffuart.lsr_reads() == 0) return Outcome::Stuck;
  if (retry && retried) {
    uint16_t seq;
    uint16_t id = t.upload(s.data, &seq);
    using T = armtest::Terminal;
    Bytes r = t.serial_call(T::command(110, id, seq++, T::u32s({s.target, s.param})), nullptr,
                            nullptr, armtest::ms(60000));
    const uint8_t* f = t.machine.bus.flash.data() + s.dest;
    *retried = r.size() >= 2 && T::le16(r, 0) == 2000 &&
               std::equal(s.expect.begin(), s.expect.end(), f);
  }
  return Outcome::Loader;
}

}  // namespace powercut
