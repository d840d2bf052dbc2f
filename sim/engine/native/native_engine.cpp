#include "sim/engine/native/native_engine.h"

#include "bootloader/hw/host_board.h"
#include "bootloader/main.h"

namespace sim {

NativeEngine::NativeEngine(Machine& machine)
    : machine_(machine), board_(machine.bus), tap_(*this, machine.dev.ffuart) {
  machine_.bus.attach(TerminalDevices::kFfuart, 0x30, tap_);
}

uint32_t NativeEngine::CommandPortTap::read32(uint32_t off) {
  if (off == Uart::LSR && engine_.host_ && !engine_.host_->service()) throw Stop{};
  return uart_.read32(off);
}

void NativeEngine::reset() { reset_pending_ = true; }

EngineExit NativeEngine::run(EngineHost& host) {
  if (reset_pending_) {
    // The start-up code copies the first 512 KB of flash into SDRAM, where a
    // memory read of virtual 0 finds it. Restarts keep that copy.
    machine_.bus.sdram.write(Bus::kSdram, machine_.bus.flash.data(), 0x80000);
    reset_pending_ = false;
  }
  board_.install();
  host_ = &host;
  EngineExit exit{EngineExit::Stop, 0};
  try {
    bl::loader_main();
  } catch (const bl::hw::LeaveLoader& l) {
    exit = l.kind == bl::hw::LeaveLoader::Jump ? EngineExit{EngineExit::Jump, l.addr}
                                               : EngineExit{EngineExit::Restart, 0};
  } catch (const Stop&) {
    exit = EngineExit{EngineExit::Stop, 0};
  }
  host_ = nullptr;
  return exit;
}

}  // namespace sim
