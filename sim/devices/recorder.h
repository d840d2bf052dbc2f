// Recorders for the register blocks whose effect the simulation does not model:
// clock manager, GPIO, power manager, memory controller. A write stores the
// value (reads return the last one, or 0) and is logged with the time it
// happened, so tests can check values, order and timing.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/devices/mmio.h"

namespace sim {

class Recorder : public MmioDevice {
 public:
  struct Write {
    uint32_t offset;
    uint32_t value;
    uint64_t ticks;  // Clock time of the write (0 without a clock)
  };

  explicit Recorder(std::string name, const Clock* clock = nullptr)
      : name_(std::move(name)), clock_(clock) {}

  uint32_t read32(uint32_t offset) override;
  void write32(uint32_t offset, uint32_t value) override;

  const std::string& name() const { return name_; }
  bool written(uint32_t offset) const { return last_.count(offset) != 0; }
  uint32_t value(uint32_t offset) const;  // last value written, 0 if none
  void preset(uint32_t offset, uint32_t value) { last_[offset] = value; }
  const std::vector<Write>& log() const { return log_; }
  std::vector<Write> writes_to(uint32_t offset) const;
  void clear_log() { log_.clear(); }

 private:
  std::string name_;
  const Clock* clock_;
  std::map<uint32_t, uint32_t> last_;
  std::vector<Write> log_;
};

// Register offsets inside the blocks, for readable tests and logs.
namespace gpio {
enum : uint32_t { GPLR1 = 0x04, GPDR1 = 0x10, GPDR2 = 0x14, GPSR1 = 0x1C, GPCR1 = 0x28,
                  GAFR1_L = 0x5C, GAFR2_L = 0x64 };
}
namespace clocks {
enum : uint32_t { CCCR = 0x00, CKEN = 0x04 };
}
namespace power {
enum : uint32_t { PSSR = 0x04 };
}
namespace memctl {
enum : uint32_t { MDCNFG = 0x00, MDREFR = 0x04, MDMRS = 0x40 };
}

}  // namespace sim
