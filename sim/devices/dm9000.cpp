#include "sim/devices/dm9000.h"

namespace sim {

uint32_t Dm9000::read32(uint32_t offset) {
  if (offset == 0) return index_;
  if (offset == 4) return read_reg(index_);
  return 0;
}

void Dm9000::write32(uint32_t offset, uint32_t value) {
  if (offset == 0) {
    index_ = static_cast<uint8_t>(value);
  } else if (offset == 4) {
    if (index_ == MWCMD) {
      for (int i = 0; i < 4; ++i) tx_mem_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    } else {
      write_reg(index_, static_cast<uint8_t>(value));
    }
  }
}

size_t Dm9000::rx_bytes() const {
  size_t n = 0;
  for (const RxFrame& f : rx_) n += 4 + ((f.length + 3u) & ~3u);
  return n;
}

bool Dm9000::receive(const std::vector<uint8_t>& frame, uint16_t status) {
  if (!(regs_[RCR] & 0x01)) return false;  // receiver off
  size_t length = frame.size() + 4;        // the FCS counts
  if ((regs_[RCR] & 0x20) && length > kLongFrame) return false;
  if (length > 0xFFFF || rx_bytes() + 4 + length + 3 > kRxMemory) return false;
  // Address filter: our own address, or any group address (the hash table is
  // left wide open by MAR = 0xFF); promiscuous mode (RCR bit 1) takes all.
  if (frame.size() >= 6 && !(regs_[RCR] & 0x02) && !(frame[0] & 1)) {
    for (int i = 0; i < 6; ++i)
      if (frame[i] != regs_[PAR + i]) return false;
  }
  RxFrame f{status, static_cast<uint16_t>(length), frame};
  f.data.resize(length, 0);
  rx_.push_back(std::move(f));
  return true;
}

void Dm9000::receive_raw(const std::vector<uint8_t>& data, uint16_t status, uint16_t length) {
  rx_.push_back(RxFrame{status, length, data});
}

uint32_t Dm9000::rx_word() {
  if (rx_.empty()) return 0;
  RxFrame& f = rx_.front();
  uint32_t words = (f.length + 3u) / 4u;
  uint32_t w = 0;
  if (!rx_header_) {
    rx_header_ = true;
    rx_pos_ = 0;
    w = f.status | (static_cast<uint32_t>(f.length) << 16);
  } else {
    for (int i = 0; i < 4; ++i) {
      size_t at = rx_pos_ * 4 + i;
      if (at < f.data.size()) w |= static_cast<uint32_t>(f.data[at]) << (8 * i);
    }
    ++rx_pos_;
  }
  if (rx_header_ && rx_pos_ >= words) {  // the pointer moves on to the next frame
    rx_.pop_front();
    rx_header_ = false;
    rx_pos_ = 0;
  }
  return w;
}

uint32_t Dm9000::read_reg(uint8_t r) {
  switch (r) {
    case MRCMDX:
      if (desync_ > 1) return desync_;
      return rx_.empty() ? 0 : (rx_.front().status & 0xFF);
    case MRCMD:
      return rx_word();
    case TCR:
      return regs_[TCR] | (tx_stuck_ ? 1u : 0u);
    default:
      return regs_[r];
  }
}

void Dm9000::write_reg(uint8_t r, uint8_t v) {
  if (r == NCR) {
    if (v & 1) software_reset();
    regs_[NCR] = v & ~1u;
    return;
  }
  if (r >= PAR && r < PAR + 6) {
    ++par_writes_;
    if (par_broken_) return;
  }
  if (r == ISR) {  // write one to clear
    regs_[ISR] &= ~v;
    return;
  }
  regs_[r] = v;
  if (r == TCR && (v & 1)) {
    if (tx_stuck_) return;
    size_t n = regs_[TXPLL] | (regs_[TXPLH] << 8);
    std::vector<uint8_t> frame(tx_mem_.begin(), tx_mem_.begin() + std::min(n, tx_mem_.size()));
    frame.resize(n, 0);
    tx_mem_.clear();
    regs_[TCR] &= ~1u;
    if (tx_hook_) tx_hook_(frame);
    else sent_.push_back(std::move(frame));
  }
}

void Dm9000::software_reset() {
  ++resets_;
  for (uint8_t& b : regs_) b = 0;
  rx_.clear();
  rx_header_ = false;
  rx_pos_ = 0;
  tx_mem_.clear();
  desync_ = 0;
}

}  // namespace sim
