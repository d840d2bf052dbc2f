#include "sim/devices/flash_model.h"

#include <cstdio>
#include <cstring>

namespace sim {
namespace {
constexpr uint16_t kDQ7 = 0x80, kDQ6 = 0x40, kDQ5 = 0x20;
}

FlashModel::Part FlashModel::part_for(uint16_t id) {
  Part p{id, 0x0001, 0x555, 0x2AA, {}};
  if (id == 0x2782) {
    p.maker_id = 0x00BF;
    p.unlock1 = 0x5555;
    p.unlock2 = 0x2AAA;
    p.blocks.assign(kSize / 0x1000, 0x1000);
  } else if (id == 0x2249) {
    p.blocks = {0x4000, 0x2000, 0x2000, 0x8000};
    p.blocks.insert(p.blocks.end(), 31, 0x10000);
  } else {  // 0x22C4, and the layout of any unknown part
    p.blocks.assign(31, 0x10000);
    p.blocks.insert(p.blocks.end(), {0x8000, 0x2000, 0x2000, 0x4000});
  }
  return p;
}

FlashModel::FlashModel(uint16_t device_id, const Clock* clock)
    : part_(part_for(device_id)), clock_(clock), bytes_(kSize, 0xFF) {}

uint32_t FlashModel::block_start(uint32_t offset) const {
  offset &= kSize - 1;
  uint32_t start = 0;
  for (uint32_t size : part_.blocks) {
    if (offset < start + size) return start;
    start += size;
  }
  return start;
}

uint32_t FlashModel::block_size(uint32_t offset) const {
  offset &= kSize - 1;
  uint32_t start = 0;
  for (uint32_t size : part_.blocks) {
    if (offset < start + size) return size;
    start += size;
  }
  return 0;
}

uint16_t FlashModel::peek16(uint32_t offset) const {
  uint32_t o = offset & (kSize - 2);
  return static_cast<uint16_t>(bytes_[o] | (bytes_[o + 1] << 8));
}

void FlashModel::fill(uint8_t value) {
  std::memset(bytes_.data(), value, kSize);
  if (on_change) on_change(0, kSize);
}

void FlashModel::set_contents(uint32_t offset, const std::vector<uint8_t>& bytes) {
  if (offset >= kSize) return;
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(bytes.size(), kSize - offset));
  std::memcpy(bytes_.data() + offset, bytes.data(), n);
  if (on_change) on_change(offset, n);
}

bool FlashModel::load(const std::string& path) {
  std::memset(bytes_.data(), 0xFF, kSize);
  FILE* f = std::fopen(path.c_str(), "rb");
  bool ok = false;
  if (f) {
    size_t n = std::fread(bytes_.data(), 1, kSize, f);
    ok = !std::ferror(f);
    (void)n;  // a shorter file leaves the rest blank
    std::fclose(f);
  }
  if (on_change) on_change(0, kSize);
  return ok;
}

bool FlashModel::save(const std::string& path) const {
  // Write a new file and rename it over the old one, so that a crash never
  // leaves a half-written flash image behind.
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes_.data(), 1, kSize, f) == kSize;
  ok = (std::fclose(f) == 0) && ok;
  if (ok) ok = std::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) std::remove(tmp.c_str());
  return ok;
}

bool FlashModel::in_read_mode() const {
  return cmd_ == Cmd::Read || cmd_ == Cmd::Unlock1 || cmd_ == Cmd::Unlock2 ||
         cmd_ == Cmd::ProgramSetup || cmd_ == Cmd::Erase3 || cmd_ == Cmd::Erase4 ||
         cmd_ == Cmd::Erase5;
}

bool FlashModel::busy() {
  finish_if_done();
  return cmd_ == Cmd::Busy || cmd_ == Cmd::Hung;
}

void FlashModel::fail_erase(uint32_t offset, int attempts) {
  erase_failures_[block_start(offset)] = attempts;
}

void FlashModel::fail_program(uint32_t offset, int attempts) {
  program_failures_[offset & (kSize - 2)] = attempts;
}

void FlashModel::clear_failures() {
  erase_failures_.clear();
  program_failures_.clear();
}

void FlashModel::clear_counters() {
  counters_ = Counters{};
  erases_at_.clear();
  programs_at_.clear();
}

bool FlashModel::take_failure(std::map<uint32_t, int>& table, uint32_t key) {
  auto it = table.find(key);
  if (it == table.end() || it->second == 0) return false;
  if (it->second > 0) --it->second;
  ++counters_.failed;
  return true;
}

void FlashModel::finish_if_done() {
  if (cmd_ != Cmd::Busy) return;
  if (clock_ && clock_->ticks() < busy_until_) return;
  cmd_ = after_busy_;
}

void FlashModel::unexpected() {
  ++counters_.unexpected;
  to_read_mode();
}

uint16_t FlashModel::read16(uint32_t offset) {
  ++counters_.reads;
  finish_if_done();
  if (cmd_ == Cmd::Busy || cmd_ == Cmd::Hung) {
    ++counters_.status_reads;
    toggle_ ^= kDQ6;
    uint16_t status = static_cast<uint16_t>((~busy_data_ & kDQ7) | toggle_);
    if (cmd_ == Cmd::Hung) status |= kDQ5;
    return status;
  }
  if (cmd_ == Cmd::Id) {
    switch (word(offset)) {
      case 0: return part_.maker_id;
      case 1: return part_.device_id;
      default: return 0;
    }
  }
  return peek16(offset);
}

void FlashModel::cut_power_at(uint64_t n) {
  cut_at_ = n ? operations() + n : 0;
}

void FlashModel::power_on() {
  power_lost_ = false;
  cut_at_ = 0;
  cmd_ = Cmd::Read;
}

bool FlashModel::cut_now() {
  if (on_operation) on_operation(operations());
  if (!cut_at_ || operations() != cut_at_) return false;
  power_lost_ = true;
  cut_at_ = 0;
  cmd_ = Cmd::Read;
  return true;
}

void FlashModel::start_program(uint32_t offset, uint16_t value) {
  uint32_t o = offset & (kSize - 2);
  ++counters_.programs;
  ++programs_at_[o];
  uint16_t old = peek16(o);
  if (cut_now()) {  // only the low byte's bits were cleared
    bytes_[o] = static_cast<uint8_t>(old & value);
    if (on_change) on_change(o, 2);
    return;
  }
  if (value & ~old) ++counters_.set_bit_attempts;
  busy_data_ = value;
  if (take_failure(program_failures_, o)) {
    cmd_ = Cmd::Hung;
    return;
  }
  uint16_t now = old & value;  // NOR cells can only go from 1 to 0
  bytes_[o] = static_cast<uint8_t>(now);
  bytes_[o + 1] = static_cast<uint8_t>(now >> 8);
  if (on_change) on_change(o, 2);
  busy_until_ = (clock_ ? clock_->ticks() : 0) + timing_.program;
  after_busy_ = Cmd::Read;
  cmd_ = Cmd::Busy;
}

void FlashModel::start_erase(uint32_t start, uint32_t size) {
  busy_data_ = 0xFFFF;
  if (size == kSize) {
    ++counters_.chip_erases;
  } else {
    ++counters_.erases;
    ++erases_at_[start];
    if (take_failure(erase_failures_, start)) {
      cmd_ = Cmd::Hung;
      return;
    }
  }
  if (cut_now()) {  // the first half of the block erased, the rest as it was
    std::memset(bytes_.data() + start, 0xFF, size / 2);
    if (on_change) on_change(start, size / 2);
    return;
  }
  std::memset(bytes_.data() + start, 0xFF, size);
  if (on_change) on_change(start, size);
  uint64_t blocks = size == kSize ? part_.blocks.size() : 1;
  busy_until_ = (clock_ ? clock_->ticks() : 0) + timing_.erase * blocks;
  after_busy_ = Cmd::Read;
  cmd_ = Cmd::Busy;
}

void FlashModel::write16(uint32_t offset, uint16_t value) {
  if (power_lost_) return;
  ++counters_.writes;
  finish_if_done();
  const uint32_t w = word(offset);
  const uint8_t byte = static_cast<uint8_t>(value);
  if (cmd_ == Cmd::Busy) return;  // the embedded algorithm ignores the bus
  if (byte == 0xF0 && cmd_ != Cmd::ProgramSetup) {  // reset, from any state
    ++counters_.resets;
    to_read_mode();
    return;
  }
  switch (cmd_) {
    case Cmd::Hung:
      return;  // only a reset leaves a failed operation
    case Cmd::Read:
      if (byte == 0xAA && w == part_.unlock1) cmd_ = Cmd::Unlock1;
      else ++counters_.unexpected;
      return;
    case Cmd::Id:
      if (byte == 0xAA && w == part_.unlock1) cmd_ = Cmd::Unlock1;
      else ++counters_.unexpected;  // stays in ID mode until a reset
      return;
    case Cmd::Unlock1:
      if (byte == 0x55 && w == part_.unlock2) cmd_ = Cmd::Unlock2;
      else unexpected();
      return;
    case Cmd::Unlock2:
      if (w != part_.unlock1) return unexpected();
      if (byte == 0x90) { cmd_ = Cmd::Id; ++counters_.id_reads; }
      else if (byte == 0xA0) cmd_ = Cmd::ProgramSetup;
      else if (byte == 0x80) cmd_ = Cmd::Erase3;
      else unexpected();
      return;
    case Cmd::ProgramSetup:
      start_program(offset, value);
      return;
    case Cmd::Erase3:
      if (byte == 0xAA && w == part_.unlock1) cmd_ = Cmd::Erase4;
      else unexpected();
      return;
    case Cmd::Erase4:
      if (byte == 0x55 && w == part_.unlock2) cmd_ = Cmd::Erase5;
      else unexpected();
      return;
    case Cmd::Erase5: {
      uint32_t o = offset & (kSize - 1);
      if (byte == 0x30) start_erase(block_start(o), block_size(o));
      else if (byte == 0x10 && w == part_.unlock1) start_erase(0, kSize);
      else unexpected();
      return;
    }
    case Cmd::Busy:
      return;
  }
}

}  // namespace sim
