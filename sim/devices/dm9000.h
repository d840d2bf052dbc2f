// A DM9000-style Ethernet controller as the loader sees it: an index register
// (+0) and a data register (+4) in front of 256 byte-wide registers, receive
// memory that the host fills with frames, transmit memory that the loader fills
// and a transmit request that hands each frame to the host.
//
// Receive memory holds frames as the controller stores them: a 16-bit status
// word (low byte 0x01 = ready, high byte the receive status), the 16-bit length
// (frame bytes plus the 4-byte FCS), then the data. MRCMDX peeks at the ready
// byte of the next frame; MRCMD reads the status/length word and then the data,
// 32 bits at a time, and moves on to the next frame after the last word.
#pragma once
#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim/devices/mmio.h"

namespace sim {

class Dm9000 : public MmioDevice {
 public:
  // Register numbers.
  enum : uint8_t { NCR = 0x00, TCR = 0x02, RCR = 0x05, PAR = 0x10, MAR = 0x16,
                   GPCR = 0x1E, GPR = 0x1F, MRCMDX = 0xF0, MRCMD = 0xF2,
                   MWCMD = 0xF8, TXPLL = 0xFC, TXPLH = 0xFD, ISR = 0xFE, IMR = 0xFF };
  static constexpr size_t kRxMemory = 13 * 1024;  // receive SRAM; fuller frames are lost
  static constexpr size_t kLongFrame = 1536;      // refused above this while RCR bit 5 is set

  using TxHook = std::function<void(const std::vector<uint8_t>& frame)>;

  uint32_t read32(uint32_t offset) override;
  void write32(uint32_t offset, uint32_t value) override;

  // Host side. A frame is accepted only while the receiver is on (RCR bit 0) and
  // there is room; with RCR bit 5 set, frames above kLongFrame are refused. The
  // FCS is appended (zeros) and counted in the length. The status is the 16-bit
  // word MRCMD returns first (its high byte: receive status bits).
  bool receive(const std::vector<uint8_t>& frame, uint16_t status = 0x0001);
  // Like receive, but stores the length as given (for malformed-length tests).
  void receive_raw(const std::vector<uint8_t>& data, uint16_t status, uint16_t length);
  size_t rx_pending() const { return rx_.size(); }

  // Each transmitted frame goes to the hook; without a hook it is kept in sent().
  void on_transmit(TxHook hook) { tx_hook_ = std::move(hook); }
  std::vector<std::vector<uint8_t>>& sent() { return sent_; }

  // Faults on request.
  void desynchronise(uint8_t ready_byte) { desync_ = ready_byte; }  // > 1: until reset
  void set_tx_stuck(bool stuck) { tx_stuck_ = stuck; }              // TCR never clears
  void set_par_broken(bool broken) { par_broken_ = broken; }         // PAR ignores writes

  uint8_t reg(uint8_t r) const { return regs_[r]; }
  uint32_t resets() const { return resets_; }
  uint32_t par_writes() const { return par_writes_; }

 private:
  struct RxFrame {
    uint16_t status, length;
    std::vector<uint8_t> data;
  };
  void software_reset();
  uint32_t read_reg(uint8_t r);
  void write_reg(uint8_t r, uint8_t v);
  uint32_t rx_word();
  size_t rx_bytes() const;

  uint8_t index_ = 0;
  uint8_t regs_[256] = {};
  std::deque<RxFrame> rx_;
  size_t rx_pos_ = 0;     // words of the front frame read so far; 0 = header next
  bool rx_header_ = false;
  std::vector<uint8_t> tx_mem_;
  std::vector<std::vector<uint8_t>> sent_;
  TxHook tx_hook_;
  uint8_t desync_ = 0;
  bool tx_stuck_ = false;
  bool par_broken_ = false;
  uint32_t resets_ = 0;
  uint32_t par_writes_ = 0;
};

}  // namespace sim
