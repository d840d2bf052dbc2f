// A 16-bit NOR flash of 2 MB with the AMD command set, in the three variants the
// terminal may carry (device IDs 0x22C4, 0x2249, 0x2782) or with any other ID.
//
// Command cycles go through write16(); the state is an explicit (cycle, command)
// pair that falls back to read mode on any unexpected cycle:
//   read mode      0xAA @U1 → cycle 1;   0xF0 @any → reset
//   cycle 1        0x55 @U2 → cycle 2
//   cycle 2 @U1    0x90 → ID mode, 0xA0 → program set-up, 0x80 → erase set-up
//   program        value @addr: bits can only be cleared (new = old & value)
//   erase set-up   0xAA @U1, 0x55 @U2, then 0x30 @block (block erase) or 0x10 @U1 (chip)
//   ID mode        word 0: maker, word 1: device ID; 0xF0 back to read mode
// Erase works on the part's erase blocks: its sectors for 0x22C4 and 0x2249
// (64 KB, with smaller boot sectors), 4 KB blocks for 0x2782.
//
// With a Clock, program and erase take time: while busy, reads return a status
// word (DQ7 = complement of the data's bit 7, DQ6 toggling on every read) that
// differs from the data, and writes are ignored. An operation made to fail on
// request never finishes: the part stays in status mode (DQ5 set) until a reset.
//
// Every operation is counted, in total and by address, for tests and benchmarks.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/devices/mmio.h"

namespace sim {

class FlashModel {
 public:
  static constexpr uint32_t kSize = 0x200000;

  struct Part {
    uint16_t device_id;
    uint16_t maker_id;
    uint32_t unlock1, unlock2;         // word addresses
    std::vector<uint32_t> blocks;      // erase block sizes in bytes, from offset 0
  };
  static Part part_for(uint16_t device_id);  // any unknown ID gets 0x22C4's layout

  struct Timing {  // in OS-timer ticks (3.6864 MHz)
    uint64_t program = 30;    // about 8 µs
    uint64_t erase = 36864;   // 10 ms per block
  };

  struct Counters {
    uint64_t writes = 0;            // every bus write (command cycles and data)
    uint64_t reads = 0;             // every bus read
    uint64_t status_reads = 0;      // reads answered with a status word
    uint64_t programs = 0;          // program operations started
    uint64_t erases = 0;            // block erase operations started
    uint64_t chip_erases = 0;
    uint64_t resets = 0;            // 0xF0 cycles
    uint64_t id_reads = 0;          // entries into ID mode
    uint64_t unexpected = 0;        // cycles that broke a command sequence
    uint64_t set_bit_attempts = 0;  // programs that tried to turn a 0 into a 1
    uint64_t failed = 0;            // operations failed on request
  };

  explicit FlashModel(uint16_t device_id = 0x22C4, const Clock* clock = nullptr);

  // Bus side: byte offset into the part (even; the low bit is ignored).
  uint16_t read16(uint32_t offset);
  void write16(uint32_t offset, uint16_t value);

  // Host side.
  const Part& part() const { return part_; }
  uint16_t device_id() const { return part_.device_id; }
  void set_timing(Timing t) { timing_ = t; }
  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  uint16_t peek16(uint32_t offset) const;  // the array, whatever the mode
  void fill(uint8_t value);
  void set_contents(uint32_t offset, const std::vector<uint8_t>& bytes);
  bool load(const std::string& path);  // missing file: false, contents blank
  bool save(const std::string& path) const;
  bool in_read_mode() const;           // reads would return the array
  bool busy();                         // an operation is running (or hung)

  // Failure on request: the next `attempts` erase (program) operations whose
  // block (halfword) contains `offset` never complete; attempts < 0: all of them.
  void fail_erase(uint32_t offset, int attempts);
  void fail_program(uint32_t offset, int attempts);
  void clear_failures();

  const Counters& counters() const { return counters_; }
  const std::map<uint32_t, uint64_t>& erases_at() const { return erases_at_; }     // by block start
  const std::map<uint32_t, uint64_t>& programs_at() const { return programs_at_; } // by halfword
  void clear_counters();

  // Power cuts: the n-th program or erase operation started from now on
  // (1-based) is interrupted and the part loses power there. The cells keep
  // what the interrupted operation left: a program has cleared the bits of its
  // low byte only (a half-programmed word); an erase has erased the first half
  // of its block and left the rest as it was (a half-erased sector). Until
  // power_on() the part ignores the bus and reads give the array.
  void cut_power_at(uint64_t n);
  bool power_lost() const { return power_lost_; }
  void power_on();  // power back: read mode, no cut pending
  uint64_t operations() const {
    return counters_.programs + counters_.erases + counters_.chip_erases;
  }

  // Called at the start of every program or erase operation with its number
  // (operations() after counting it), before a cut takes effect.
  std::function<void(uint64_t)> on_operation;

  // Called with (offset, length) whenever the array changes (an emulator that
  // maps the array as memory refreshes its copy from here).
  std::function<void(uint32_t, uint32_t)> on_change;

  uint32_t block_start(uint32_t offset) const;
  uint32_t block_size(uint32_t offset) const;

 private:
  enum class Cmd { Read, Unlock1, Unlock2, Id, ProgramSetup, Erase3, Erase4, Erase5,
                   Busy, Hung };
  void to_read_mode() { cmd_ = Cmd::Read; }
  void unexpected();
  void start_program(uint32_t offset, uint16_t value);
  void start_erase(uint32_t start, uint32_t size);
  void finish_if_done();
  bool take_failure(std::map<uint32_t, int>& table, uint32_t key);
  uint32_t word(uint32_t offset) const { return (offset & (kSize - 1)) >> 1; }

  Part part_;
  const Clock* clock_;
  Timing timing_;
  std::vector<uint8_t> bytes_;
  Cmd cmd_ = Cmd::Read;
  Cmd after_busy_ = Cmd::Read;
  uint64_t busy_until_ = 0;
  uint16_t busy_data_ = 0;  // the value the running operation will leave (for DQ7)
  uint16_t toggle_ = 0;
  std::map<uint32_t, int> erase_failures_, program_failures_;  // key → attempts left
  Counters counters_;
  std::map<uint32_t, uint64_t> erases_at_, programs_at_;
  uint64_t cut_at_ = 0;  // operation count at which power goes; 0: none
  bool power_lost_ = false;
  bool cut_now();        // counts the operation just started; true: cut here
};

}  // namespace sim
