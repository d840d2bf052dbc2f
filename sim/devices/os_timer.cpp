#include "sim/devices/os_timer.h"

namespace sim {

OsTimer::OsTimer(Mode mode, uint64_t step)
    : mode_(mode), step_(step), start_(std::chrono::steady_clock::now()) {}

uint64_t OsTimer::ticks() const {
  if (mode_ == Mode::Virtual) return offset_;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now() - start_).count();
  return offset_ + static_cast<uint64_t>(ns) * kHz / 1000000000u;
}

uint32_t OsTimer::read32(uint32_t offset) {
  if (offset == OSCR) {
    ++reads_;
    if (mode_ == Mode::Virtual) {
      offset_ += step_;
      return static_cast<uint32_t>(ticks());
    }
    // Real time: a host reads far quicker than the 271 ns of a tick, and two
    // equal reads would end a pause at once (its wrap rule); so each read waits
    // for the counter to move past the last value read.
    uint64_t t;
    do t = ticks();
    while (t <= last_read_);
    last_read_ = t;
    return static_cast<uint32_t>(t);
  }
  return offset < sizeof regs_ ? regs_[offset / 4] : 0;
}

void OsTimer::write32(uint32_t offset, uint32_t value) {
  if (offset == OSCR) {
    // The counter continues from the value written; only its low 32 bits are
    // visible, so move the 64-bit time forward to the next matching point.
    uint64_t now = ticks();
    uint64_t target = (now & ~uint64_t(0xFFFFFFFF)) | value;
    if (target < now) target += uint64_t(1) << 32;
    offset_ += target - now;
    return;
  }
  if (offset < sizeof regs_) regs_[offset / 4] = value;
}

}  // namespace sim
