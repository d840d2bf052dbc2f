// The simulated terminal's machine: the bus with every device of the terminal
// wired at its address. Engines run on it; the runner moves host bytes into and
// out of its devices.
#pragma once
#include <cstdint>

#include "sim/machine/bus.h"
#include "sim/machine/terminal.h"

namespace sim {

struct Machine {
  explicit Machine(uint16_t flash_id = 0x22C4, OsTimer::Mode mode = OsTimer::Mode::Virtual,
                   bool with_ethernet = true)
      : bus(flash_id, mode), dev(&bus.timer) {
    dev.attach_to(bus, with_ethernet);
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  Bus bus;
  TerminalDevices dev;
};

}  // namespace sim
