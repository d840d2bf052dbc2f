// Plain memory at a physical base: the terminal's 8 MB of SDRAM.
#pragma once
#include <cstdint>
#include <vector>

namespace sim {

class Ram {
 public:
  Ram(uint32_t base, uint32_t size) : base_(base), bytes_(size, 0) {}

  uint32_t base() const { return base_; }
  uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
  bool contains(uint32_t addr, uint32_t n = 1) const {
    return addr >= base_ && addr - base_ <= bytes_.size() && n <= bytes_.size() - (addr - base_);
  }
  // Both copy only inside the RAM; callers check contains() first.
  void read(uint32_t addr, void* dst, uint32_t n) const;
  void write(uint32_t addr, const void* src, uint32_t n);
  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }

 private:
  uint32_t base_;
  std::vector<uint8_t> bytes_;
};

}  // namespace sim
