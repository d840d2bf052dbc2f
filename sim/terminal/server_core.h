// The terminal side of the command-packet protocol, without sockets or threads:
// one request packet from a peer in, the packets to send back out.
//
// The core keeps what every terminal keeps whatever it is running:
// - a connection record per peer (1000 connects, reusing the record of a peer
//   that connected before; 1001 removes it, without a reply); packets that are
//   short, fail the checksum or name no record (other than a connect) are dropped;
// - repeat suppression: a request with its record's last sequence number is not
//   executed; the stored reply is sent again, or 2004 when none is stored;
// - the transfer buffer: 1500 announces a block, 1501 stores a chunk (only with
//   the sequence number after the last one and when it fits; else 2001), 1502
//   releases it; the block stays for later commands until released;
// - 110: 2001 with error code 1 (nothing announced), 2 (no buffer) or 3 (block
//   incomplete) in bytes 4 and 5; a complete block goes to Terminal::StoreBlock,
//   whose error code (4, 5) is sent the same way;
// - 111: a memory read streamed as a 1500 announce, 1,024-byte 1501 chunks with
//   their index in bytes 4 and 5 (not stored), then 2000 with the last index;
//   a read of more than kMaxBlock bytes is refused with 2001;
// - 1100: the terminal's version text; 2000: 2000;
// - 11 and 12 over the terminal's option store: 11 replies the name, "=", the
//   value and a NUL, or 2001 for an option the terminal does not hold; 12 hands
//   the request text to Terminal::WriteOption;
// - any other command: Terminal::Execute, or 0xFFFF.
// Replies carry the request's sequence number and the record's connection id.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "sim/terminal/option_store.h"

namespace sim::terminal {

using Bytes = std::vector<uint8_t>;

// Who sent a packet: "udp:127.0.0.1:40001", "serial", ...; the core only compares them.
using PeerKey = std::string;

struct Reply {
  uint16_t code = 2000;
  Bytes data;
};

// What differs between terminals served by the core (the defaults are the
// plain behaviour a test peer shows).
class Terminal {
 public:
  virtual ~Terminal() = default;
  virtual OptionStore& Options() = 0;
  // Text of the 1100 reply (a NUL is appended).
  virtual std::string VersionText() const { return "BLDR Apr 14 2004"; }
  // 110 with a complete block: 0 when done, else the error code for bytes 4 and 5.
  virtual uint16_t StoreBlock(uint32_t /*target*/, uint32_t /*parameter*/, const Bytes& /*block*/) { return 0; }
  // 111: n bytes from address (zeros where nothing is).
  virtual void ReadMemory(uint32_t address, uint8_t* out, uint32_t n);
  // 12: the request text up to its NUL; returns the reply code. Default: the
  // text before the first "=" is the name, the rest the value, stored as it came.
  virtual uint16_t WriteOption(const std::string& text);
  // 11: the value of an option, nothing when the terminal does not hold it.
  virtual std::optional<std::string> ReadOption(const std::string& name) { return Options().Get(name); }
  // Any command the core does not serve itself; nothing gives 0xFFFF.
  // *after may be set to something to run once the reply is sent (a restart).
  virtual std::optional<Reply> Execute(uint16_t /*command*/, const Bytes& /*data*/,
                                       std::function<void()>* /*after*/) {
    return std::nullopt;
  }
};

class ServerCore {
 public:
  enum class Verdict {
    kDrop,        // short, bad checksum, unknown connection: nothing is sent
    kRepeat,      // the record's last sequence number: answered without executing
    kConnect,
    kDisconnect,
    kExecute,
  };

  // A block handed over with 1500/1501 that a later command found held.
  struct BlockUse {
    uint16_t command = 0;
    Bytes block;  // the bytes received so far
    uint32_t announced = 0;
    Bytes params;  // the command's own data
  };

  struct Outcome {
    Verdict verdict = Verdict::kDrop;
    uint16_t command = 0, connection = 0, sequence = 0;
    PeerKey to;                     // the peer of the record the reply belongs to
    std::vector<Bytes> stream;      // sent first: a memory read's packets, or a repeat's answer
    Bytes reply;                    // then the reply proper (empty: none)
    Bytes previous;                 // the reply stored before this request (empty: none)
    std::optional<BlockUse> block;  // a held block met by a command other than 1500-1502
    std::function<void()> after;    // run by the host once everything is sent
  };

  static constexpr uint32_t kChunk = 1024;         // memory-read chunk size
  static constexpr uint32_t kMaxBlock = 2u << 20;  // largest block 1500 may announce, or 111 read: the flash

  explicit ServerCore(Terminal& terminal, uint16_t first_connection_id = 0x5101);

  // What Handle would do with this packet, without doing it.
  Verdict Examine(const PeerKey& from, const uint8_t* packet, std::size_t n) const;
  // Handles one packet. A scripted reply, when given, takes the place of the
  // command's own action for an executed request (the transfer included); a
  // scripted 2004 is sent but not stored, so the resend runs again.
  Outcome Handle(const PeerKey& from, const uint8_t* packet, std::size_t n,
                 const std::optional<Reply>& scripted = std::nullopt);

  // A restart of the terminal: every record (and its block) goes.
  void Reset() { records_.clear(); }
  int Connections() const { return static_cast<int>(records_.size()); }
  uint64_t ConnectsAccepted() const { return connects_; }
  Terminal& terminal() { return terminal_; }

 private:
  struct Record {
    uint16_t id = 0;
    PeerKey peer;
    uint16_t last_sequence = 0;
    Bytes stored;  // last reply of the normal path; empty = none
    bool has_block = false;
    Bytes block;
    uint32_t announced = 0;
    uint32_t received = 0;
  };
  Record* ById(uint16_t id);
  const Record* ById(uint16_t id) const;
  Bytes Connect(const PeerKey& from, uint16_t sequence);
  Reply Execute(Record& r, uint16_t command, uint16_t sequence, const Bytes& data, uint16_t* field,
                Outcome* out);

  Terminal& terminal_;
  std::list<Record> records_;
  uint16_t next_id_;
  uint64_t connects_ = 0;
};

}  // namespace sim::terminal
