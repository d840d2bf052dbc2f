// What runs on the simulated terminal's machine, seen from the runner.
//
// An engine executes the boot loader on a sim::Bus (its logic built for the host,
// or the real image on an emulated CPU) until something happens that the runner
// must act on: a restart, a jump out of the loader, or the runner's own request
// to stop. While it runs it calls its host often, so that the runner can move
// bytes between the host's sockets and the device models.
#pragma once
#include <cstdint>

#include "sim/devices/mmio.h"

namespace sim {

struct EngineExit {
  enum Kind {
    Restart,  // the loader restarted itself (1004, a fatal error, a data abort)
    Jump,     // the loader jumped out of itself: uploaded code or the main firmware
    Stop,     // the host asked the engine to stop
    Started,  // a program outside the loader rang the doorbell (TerminalDevices::Doorbell)
  } kind;
  uint32_t addr = 0;  // Jump: the target address; Started: the entry the program reported
  uint32_t sum = 0;   // Started: the sum of its image bytes the program reported
};

class EngineHost {
 public:
  virtual ~EngineHost() = default;
  // Moves bytes between the host and the devices; may block briefly when the
  // terminal has been quiet. Returns false to ask the engine to stop.
  virtual bool service() = 0;
};

class Engine {
 public:
  virtual ~Engine() = default;
  // A hardware reset: the next run() starts the boot sequence from flash.
  virtual void reset() = 0;
  // Runs until the loader leaves or the host asks to stop. After a Restart or a
  // Jump, run() again continues from the reset entry (with the SDRAM kept, as a
  // restart by jump to address 0 keeps it) unless reset() is called first.
  virtual EngineExit run(EngineHost& host) = 0;
  // The time the engine's devices run on.
  virtual const Clock& clock() const = 0;
};

}  // namespace sim
