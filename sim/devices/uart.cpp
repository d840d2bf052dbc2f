#include "sim/devices/uart.h"

namespace sim {

uint32_t Uart::read32(uint32_t offset) {
  switch (offset) {
    case RBR:
      if (dlab()) return dll_;
      if (rx_.empty()) return 0;
      {
        uint8_t b = rx_.front();
        rx_.pop_front();
        return b;
      }
    case IER:
      return dlab() ? dlh_ : ier_;
    case LCR:
      return lcr_;
    case MCR:
      return mcr_;
    case LSR: {
      ++lsr_reads_;
      uint32_t lsr = error_;
      error_ = 0;
      if (!rx_.empty()) lsr |= 0x01;
      if (!tx_blocked_) lsr |= 0x60;  // THR empty, transmitter idle
      return lsr;
    }
    default:
      return 0;
  }
}

void Uart::write32(uint32_t offset, uint32_t value) {
  uint8_t v = static_cast<uint8_t>(value);
  switch (offset) {
    case THR:
      if (dlab()) {
        dll_ = v;
      } else if (!(ier_ & 0x40) || tx_blocked_) {
        ++lost_writes_;
      } else if (tx_hook_) {
        tx_hook_(v);
      } else {
        tx_.push_back(v);
      }
      break;
    case IER:
      if (dlab()) dlh_ = v; else ier_ = v;
      break;
    case FCR:
      fcr_ = v;
      if (v & 0x02) rx_.clear();  // reset the receive FIFO
      break;
    case LCR:
      lcr_ = v;
      break;
    case MCR:
      mcr_ = v;
      break;
    default:
      break;
  }
}

void Uart::push_rx(const std::vector<uint8_t>& bytes) {
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> Uart::take_tx() {
  std::vector<uint8_t> out;
  out.swap(tx_);
  return out;
}

}  // namespace sim
