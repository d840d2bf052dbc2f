// The simulated terminal the fuzz targets feed: the bus with the DM9000 and
// UART models, virtual time, and a fresh loader (started as the main routine
// starts it) for every input. Work per input is bounded: a command that would
// send without end (a memory read of gigabytes) ends the input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/engine/native/sim_board.h"
#include "sim/machine/terminal.h"
#include "sim/devices/dm9000.h"
#include "sim/devices/recorder.h"
#include "sim/devices/uart.h"
#include "bootloader/hw/host_board.h"
#include "bootloader/loader_state.h"
#include "bootloader/main.h"
#include "bootloader/protocol/protocol.h"

namespace fuzz {

struct Budget {};  // thrown from a model when an input has done enough

struct Terminal : sim::TerminalDevices {
  static constexpr size_t kMaxFrames = 256;
  static constexpr size_t kMaxSerialBytes = 1 << 18;

  Terminal() { attach_to(sim); }

  // A fresh loader after a reset, through the real start-up (panel frames,
  // network start); pauses are made short meanwhile.
  void begin() {
    eth = sim::Dm9000();
    ffuart = sim::Uart();
    btuart = sim::Uart();
    frames = 0;
    serial_bytes = 0;
    for (sim::Recorder* r : {&gpio, &clocks, &power, &memctl}) r->clear_log();
    sim.clear_unmapped();
    eth.on_transmit([this](const std::vector<uint8_t>&) {
      if (++frames > kMaxFrames) throw Budget{};
    });
    ffuart.on_transmit([this](uint8_t) {
      if (++serial_bytes > kMaxSerialBytes) throw Budget{};
    });
    if (sim.flash.counters().programs || sim.flash.counters().erases) {
      sim.flash.fill(0xFF);
      sim.flash.clear_counters();
    }
    sim.install();
    sim.timer.set_step(36864);  // 10 ms per OSCR read during start-up
    bl::start_devices();
    sim.timer.set_step(sim::OsTimer::kDefaultStep);
  }

  // Runs one step of the loader, absorbing the ways it can leave.
  template <class F>
  bool run(F step) {
    try {
      step();
      return true;
    } catch (const bl::hw::LeaveLoader&) {
      return false;  // restart or jump: the input ends here
    } catch (const Budget&) {
      return false;
    }
  }

  // The connection id of the first record, for inputs that patch it in.
  uint16_t first_id() const {
    const bl::ConnTable& t = bl::g_state.conns;
    return t.count ? static_cast<uint16_t>(t.records[0].id) : 0;
  }

  sim::SimBoard sim;
  size_t frames = 0, serial_bytes = 0;
};

// Reads the records of an input: [flags u8][length u16 LE][length bytes].
struct Reader {
  const uint8_t* p;
  size_t n;
  bool next(uint8_t* flags, std::vector<uint8_t>* bytes) {
    if (n < 3) return false;
    *flags = p[0];
    size_t len = p[1] | (p[2] << 8);
    p += 3;
    n -= 3;
    if (len > n) len = n;
    bytes->assign(p, p + len);
    p += len;
    n -= len;
    return true;
  }
};

// The command packet's checksum, fixed in place (RFC 1071, little-endian words).
inline void fix_packet(uint8_t* pkt, size_t n, bool patch_id, uint16_t id) {
  if (n < 8) return;
  if (patch_id) {
    pkt[4] = static_cast<uint8_t>(id);
    pkt[5] = static_cast<uint8_t>(id >> 8);
  }
  pkt[2] = pkt[3] = 0;
  uint16_t s = bl::checksum(pkt, static_cast<uint32_t>(n));
  pkt[2] = static_cast<uint8_t>(s);
  pkt[3] = static_cast<uint8_t>(s >> 8);
}

}  // namespace fuzz
