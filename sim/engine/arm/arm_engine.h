// The ARM engine: the real boot-loader image (build/firmware/bootloader.bin, as
// it lies in the flash model) executed by an emulated XScale (Unicorn, CPU model
// PXA255) on a sim::Machine.
//
// Memory as the processor sees it:
//   0x00000000  the flash array, 2 MB, mirrored up to 8 MB; reads are array reads,
//               stores are command cycles for the flash model (which changes the
//               array on erase and program; the copy here follows it)
//   0xA0000000  SDRAM, 8 MB: the machine's own Ram, shared
//   0x0C000000, 0x40000000-0x4FFFFFFF  registers: every access goes to the bus
//   0xFF800000  the flash window (through the loader's page table)
// Exceptions enter the image through its vector table as on the processor (mode,
// SPSR, LR, PC). Coprocessor operations the CPU model lacks are emulated here.
//
// Time: the OS timer of the machine. In virtual mode it moves with the executed
// instructions (400 MHz, one instruction per cycle) and by a step at every OSCR
// read, so a waiting loader skips its idle time; in real-time mode it is the
// wall clock. In virtual mode the engine never lets emulated time run ahead of
// the wall clock within 25 ms of a command-port byte the loader took, so a host
// still writing a frame is not cut off by the loader's 20 ms silence rule.
//
// Exits: Restart when the processor reaches the vector table (1004, an exception,
// a fatal error); Started when a program outside the image rings the doorbell;
// Jump when code outside the image ran a while without ringing; Stop when the
// host asks.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "sim/engine/engine.h"
#include "sim/machine/machine.h"

namespace sim {

class ArmEngine : public Engine {
 public:
  struct Options {
    // Instructions code outside the image may run before the engine gives up
    // waiting for the doorbell and reports a Jump.
    uint64_t outside_budget = 20000000;
    // Record every coprocessor operation (MCR/MRC, CDP) the image executes, with
    // the stores into SDRAM around them (slow: for tests of cache maintenance).
    bool trace = false;
  };

  // One entry of the trace.
  struct Event {
    enum Kind { Coprocessor, Store, Leave } kind;
    uint32_t pc;
    uint32_t insn;   // Coprocessor: the instruction word
    uint32_t addr;   // Store: the virtual address; Leave: the jump target
    uint32_t value;  // Coprocessor: the register value moved (MCR: written)
  };

  explicit ArmEngine(Machine& machine);
  ArmEngine(Machine& machine, Options options);
  ~ArmEngine() override;

  void reset() override;
  EngineExit run(EngineHost& host) override;
  const Clock& clock() const override { return machine_.bus.timer; }

  // Inspection, for tests and benchmarks.
  uint64_t instructions() const { return instructions_; }
  uint32_t cclkcfg() const { return cclkcfg_; }
  uint64_t cclkcfg_writes() const { return cclkcfg_writes_; }
  uint64_t exceptions_taken() const { return exceptions_; }
  uint32_t last_exception_vector() const { return last_vector_; }
  const std::vector<Event>& trace() const { return trace_; }
  void clear_trace() { trace_.clear(); }
  uint32_t reg(int uc_reg) const;
  static constexpr uint64_t kInstructionsPerTick = 108;  // 400 MHz / 3.6864 MHz

  // Coprocessor operations emulated here (not known to the CPU model), by
  // instruction pattern without condition and register: count.
  const std::map<uint32_t, uint64_t>& emulated_operations() const { return emulated_; }

  struct Cpu;  // the emulator and its hooks (arm_engine.cpp)

 private:
  void take_exception(uint32_t vector, uint32_t mode, uint32_t lr);
  bool emulate_coprocessor(uint32_t insn);

  Machine& machine_;
  Options options_;
  std::unique_ptr<Cpu> cpu_;
  uint64_t instructions_ = 0;
  uint32_t cclkcfg_ = 0;
  uint64_t cclkcfg_writes_ = 0;
  uint64_t exceptions_ = 0;
  uint32_t last_vector_ = 0;
  std::vector<Event> trace_;
  std::map<uint32_t, uint32_t> cp_regs_;
  std::map<uint32_t, uint64_t> emulated_;
  bool reset_pending_ = true;
  bool restart_pending_ = false;  // after Jump/Started: next run() restarts at 0
};

}  // namespace sim
