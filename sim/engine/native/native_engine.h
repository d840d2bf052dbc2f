// The native engine: the boot loader's logic, compiled for the host, on a
// sim::Machine.
//
// The host-built loader never yields on its own: it polls its devices. Every
// read of the command port's line-status register (which the loader's main loop
// and its serial waits poll) gives the host its turn, through a device put in
// front of the command port's UART.
#pragma once
#include <cstdint>

#include "sim/engine/engine.h"
#include "sim/engine/native/sim_board.h"
#include "sim/machine/machine.h"

namespace sim {

class NativeEngine : public Engine {
 public:
  explicit NativeEngine(Machine& machine);

  void reset() override;
  EngineExit run(EngineHost& host) override;
  const Clock& clock() const override { return machine_.bus.timer; }

 private:
  class CommandPortTap : public MmioDevice {
   public:
    CommandPortTap(NativeEngine& engine, MmioDevice& uart) : engine_(engine), uart_(uart) {}
    uint32_t read32(uint32_t off) override;
    void write32(uint32_t off, uint32_t v) override { uart_.write32(off, v); }

   private:
    NativeEngine& engine_;
    MmioDevice& uart_;
  };
  struct Stop {};  // unwinds the loader when the host asks to stop

  Machine& machine_;
  BusBoard board_;
  CommandPortTap tap_;
  EngineHost* host_ = nullptr;
  bool reset_pending_ = true;
};

}  // namespace sim
