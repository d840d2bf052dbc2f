#include "sim/devices/recorder.h"

namespace sim {

uint32_t Recorder::read32(uint32_t offset) { return value(offset); }

void Recorder::write32(uint32_t offset, uint32_t value) {
  last_[offset] = value;
  // The log is for inspection; a long-running board must not grow without end.
  if (log_.size() < 100000) log_.push_back(Write{offset, value, clock_ ? clock_->ticks() : 0});
}

uint32_t Recorder::value(uint32_t offset) const {
  auto it = last_.find(offset);
  return it == last_.end() ? 0 : it->second;
}

std::vector<Recorder::Write> Recorder::writes_to(uint32_t offset) const {
  std::vector<Write> out;
  for (const Write& w : log_)
    if (w.offset == offset) out.push_back(w);
  return out;
}

}  // namespace sim
