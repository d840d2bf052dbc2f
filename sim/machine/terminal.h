// The terminal's register devices beside the flash, the SDRAM and the OS timer,
// and where they sit on the bus. Tests, fuzz targets and the runner wire the
// simulated terminal through this one place.
#pragma once
#include <cstdint>

#include "sim/devices/dm9000.h"
#include "sim/devices/recorder.h"
#include "sim/devices/uart.h"
#include "sim/machine/bus.h"

namespace sim {

struct TerminalDevices {
  static constexpr uint32_t kEthernet = 0x0C000000u;  // DM9000 index (+0) and data (+4)
  static constexpr uint32_t kFfuart = 0x40100000u;    // command port
  static constexpr uint32_t kBtuart = 0x40200000u;    // panel port
  static constexpr uint32_t kGpio = 0x40E00000u;
  static constexpr uint32_t kPower = 0x40F00000u;
  static constexpr uint32_t kClocks = 0x41300000u;
  static constexpr uint32_t kMemCtl = 0x48000000u;

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
  }

  Dm9000 eth;
  Uart ffuart, btuart;
  Recorder gpio, clocks, power, memctl;
};

}  // namespace sim
