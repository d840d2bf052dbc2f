// The terminal's register devices beside the flash, the SDRAM and the OS timer,
// and where they sit on the bus. Tests, fuzz targets and the runner wire the
// simulated terminal through this one place.
#pragma once
#include <cstdint>
#include <functional>

#include "sim/devices/dm9000.h"
#include "sim/devices/recorder.h"
#include "sim/devices/uart.h"
#include "sim/machine/bus.h"

namespace sim {

// Where a program started by the loader makes itself known: it stores its entry
// address at +0, then a 32-bit sum of its own image bytes at +4. The second
// store rings: the hook sees (entry, sum). Reads give back what was stored.
class Doorbell : public MmioDevice {
 public:
  uint32_t read32(uint32_t off) override { return off == 0 ? entry_ : off == 4 ? sum_ : 0; }
  void write32(uint32_t off, uint32_t v) override {
    if (off == 0) entry_ = v;
    if (off != 4) return;
    sum_ = v;
    ++rings_;
    if (on_ring) on_ring(entry_, sum_);
  }
  uint64_t rings() const { return rings_; }
  std::function<void(uint32_t entry, uint32_t sum)> on_ring;

 private:
  uint32_t entry_ = 0, sum_ = 0;
  uint64_t rings_ = 0;
};

struct TerminalDevices {
  static constexpr uint32_t kEthernet = 0x0C000000u;  // DM9000 index (+0) and data (+4)
  static constexpr uint32_t kFfuart = 0x40100000u;    // command port
  static constexpr uint32_t kBtuart = 0x40200000u;    // panel port
  static constexpr uint32_t kGpio = 0x40E00000u;
  static constexpr uint32_t kPower = 0x40F00000u;
  static constexpr uint32_t kClocks = 0x41300000u;
  static constexpr uint32_t kMemCtl = 0x48000000u;
  static constexpr uint32_t kDoorbell = 0x4FF00000u;  // not on the terminal: see Doorbell

  explicit TerminalDevices(const Clock* clock = nullptr)
      : gpio("gpio", clock), clocks("clock", clock), power("power", clock),
        memctl("memory controller", clock) {}

  // Attaches every device. The Ethernet controller may be left out (a terminal
  // without network), and `command_port` stands on the bus in the FFUART's
  // place when given (the runner puts a tap in front of it).
  void attach_to(Bus& board, bool with_ethernet = true, MmioDevice* command_port = nullptr) {
    if (with_ethernet) board.attach(kEthernet, 8, eth);
    board.attach(kFfuart, 0x30, command_port ? *command_port : ffuart);
    board.attach(kBtuart, 0x30, btuart);
    board.attach(kGpio, 0x100, gpio);
    board.attach(kPower, 0x100, power);
    board.attach(kClocks, 0x100, clocks);
    board.attach(kMemCtl, 0x100, memctl);
    board.attach(kDoorbell, 8, doorbell);
  }

  Dm9000 eth;
  Uart ffuart, btuart;
  Recorder gpio, clocks, power, memctl;
  Doorbell doorbell;
};

}  // namespace sim
