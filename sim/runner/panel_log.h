// Logs the panel frames the loader writes to the panel port, one line per frame.
// Frames are told apart by the pause the loader makes after each one.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace simrun {

class PanelLog {
 public:
  explicit PanelLog(FILE* out) : out_(out) {}
  void byte(uint8_t b);
  void idle();  // ends the current frame once the line has been quiet a while
  void flush();
  uint32_t frames() const { return frames_; }

 private:
  using Clock = std::chrono::steady_clock;
  FILE* out_;
  std::vector<uint8_t> bytes_;
  Clock::time_point last_{};
  uint32_t frames_ = 0;
};

}  // namespace simrun
