#include "sim/runner/panel_log.h"

namespace simrun {

namespace {
constexpr auto kGap = std::chrono::milliseconds(2);  // the loader pauses >= 10 ms
}

void PanelLog::byte(uint8_t b) {
  if (!bytes_.empty() && Clock::now() - last_ > kGap) flush();
  bytes_.push_back(b);
  last_ = Clock::now();
}

void PanelLog::idle() {
  if (!bytes_.empty() && Clock::now() - last_ > kGap) flush();
}

void PanelLog::flush() {
  if (bytes_.empty()) return;
  ++frames_;
  if (out_) {
    fprintf(out_, "panel: command %u, %zu bytes:", bytes_.size() > 2 ? bytes_[2] : 0u, bytes_.size());
    for (uint8_t b : bytes_) fprintf(out_, " %02X", b);
    fputc('\n', out_);
    fflush(out_);
  }
  bytes_.clear();
}

}  // namespace simrun
