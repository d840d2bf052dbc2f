// A PXA25x UART (16550-style) as the loader uses it: RBR/THR, IER, FCR, LCR,
// MCR, LSR, and the divisor latch behind LCR bit 7. The host side has a byte
// queue in each direction: bytes it pushes are received by the loader, bytes
// the loader writes are collected (or handed to a hook).
//
// LSR: bit 0 while a received byte waits, bit 5 while the transmitter has room
// (always, unless blocked on request), bits 2-4 (parity, framing, break) when an
// error is injected; the error bits clear when LSR is read, as on the chip.
// With IER bit 6 (unit enable) clear the unit is off: writes to THR are lost.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim/devices/mmio.h"

namespace sim {

class Uart : public MmioDevice {
 public:
  enum : uint32_t { RBR = 0x00, THR = 0x00, DLL = 0x00, IER = 0x04, DLH = 0x04,
                    FCR = 0x08, LCR = 0x0C, MCR = 0x10, LSR = 0x14 };
  using TxHook = std::function<void(uint8_t)>;

  uint32_t read32(uint32_t offset) override;
  void write32(uint32_t offset, uint32_t value) override;

  // Host side.
  void push_rx(const std::vector<uint8_t>& bytes);
  void push_rx(uint8_t byte) { rx_.push_back(byte); }
  size_t rx_pending() const { return rx_.size(); }
  std::vector<uint8_t> take_tx();          // everything written so far
  void on_transmit(TxHook hook) { tx_hook_ = std::move(hook); }  // instead of take_tx
  void inject_error(uint8_t lsr_bits) { error_ |= lsr_bits & 0x1C; }
  void set_tx_blocked(bool blocked) { tx_blocked_ = blocked; }

  uint32_t divisor() const { return dll_ | (dlh_ << 8); }
  uint32_t ier() const { return ier_; }
  uint32_t fcr() const { return fcr_; }
  uint32_t lcr() const { return lcr_; }
  uint32_t mcr() const { return mcr_; }
  uint64_t lost_writes() const { return lost_writes_; }  // THR writes while off or full
  uint64_t lsr_reads() const { return lsr_reads_; }

 private:
  bool dlab() const { return lcr_ & 0x80; }

  std::deque<uint8_t> rx_;
  std::vector<uint8_t> tx_;
  TxHook tx_hook_;
  uint8_t error_ = 0;
  bool tx_blocked_ = false;
  uint32_t ier_ = 0, fcr_ = 0, lcr_ = 0, mcr_ = 0, dll_ = 0, dlh_ = 0;
  uint64_t lost_writes_ = 0;
  uint64_t lsr_reads_ = 0;
};

}  // namespace sim
