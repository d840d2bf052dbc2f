// The PXA25x OS timer: the free-running counter OSCR (+0x10) at 3.6864 MHz and
// the match/status/enable registers beside it (stored, without effect: the
// loader uses no interrupts).
//
// Two ways to run:
// - virtual time (tests, fuzzing, benchmarks): the counter moves only when the
//   loader reads OSCR (by a fixed step, so every polling pause ends) or when the
//   host calls advance(). Deterministic: the same reads give the same times.
// - real time (the interactive runner): ticks come from a steady clock, and
//   successive reads always differ, as on the terminal's slower processor.
// The timer is the Clock of the other models (the flash's busy times).
#pragma once
#include <chrono>
#include <cstdint>

#include "sim/devices/mmio.h"

namespace sim {

class OsTimer : public MmioDevice, public Clock {
 public:
  enum : uint32_t { OSMR0 = 0x00, OSMR1 = 0x04, OSMR2 = 0x08, OSMR3 = 0x0C, OSCR = 0x10,
                    OSSR = 0x14, OWER = 0x18, OIER = 0x1C };
  static constexpr uint64_t kHz = 3686400;
  static constexpr uint64_t kDefaultStep = 37;  // about 10 µs per OSCR read

  enum class Mode { Virtual, RealTime };

  explicit OsTimer(Mode mode = Mode::Virtual, uint64_t step = kDefaultStep);

  uint32_t read32(uint32_t offset) override;
  void write32(uint32_t offset, uint32_t value) override;
  uint64_t ticks() const override;  // without moving the clock

  // Host side.
  void advance(uint64_t ticks) { offset_ += ticks; }
  void advance_us(uint64_t us) { advance(us * kHz / 1000000); }
  void set_step(uint64_t step) { step_ = step; }
  uint64_t step() const { return step_; }
  Mode mode() const { return mode_; }
  uint64_t oscr_reads() const { return reads_; }
  double elapsed_ms() const { return static_cast<double>(ticks()) * 1000.0 / kHz; }

 private:
  Mode mode_;
  uint64_t step_;
  uint64_t offset_ = 0;  // virtual ticks, or the real-time offset (advance, OSCR writes)
  uint64_t reads_ = 0;
  uint64_t last_read_ = 0;  // real time: the last value read
  std::chrono::steady_clock::time_point start_;
  uint32_t regs_[8] = {};
};

}  // namespace sim
