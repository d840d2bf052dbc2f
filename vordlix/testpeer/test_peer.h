// A test peer: plays the terminal's side of the command-packet protocol, in a
// background thread, on 127.0.0.1 (UDP, port chosen by the OS) or on a
// pseudo-terminal (serial frames). For tests only.
//
//   auto peer = vordlix::testpeer::TestPeer::StartUdp();
//   peer->SetReply(110, {2000, {}});                 // scripted reply per command
//   int32_t h = VORDLIX_INIT("vxnet.dll", "127.0.0.1", peer->port(), 0, 0, 0);
//   ...
//   auto log = peer->Log();                          // every packet received
//   auto t = peer->Transfers();                      // blocks assembled by 1500/1501
//
// Behaviour, like a boot loader:
// - 1000 connect: a record per source address (UDP: IP and port; serial: the line),
//   reply 2000 with its connection id (from 0x5101 up), not stored. 1001: removes
//   the record, no reply. Packets that are short, have a bad checksum, or name an
//   unknown connection are logged and dropped.
// - Repeat suppression: a request with the record's last sequence number gets the
//   stored reply again, or 2004 when none is stored; it is not executed.
// - 1500 announces a block, 1501 stores a chunk (taken only with the sequence
//   number after the last one and when it fits; 2001 otherwise), 1502 releases it.
//   The next other command is recorded with the block in Transfers(); the block
//   stays for later commands, as in the loader.
// - Default replies: 2000 for 2000; 1100 the version text; 110 2000 when a complete
//   block is held, else 2001 with error code 1, 2 or 3 in bytes 4 and 5; 111 a memory
//   read of SetMemory()'s bytes (1500 announce, 1024-byte 1501 chunks with their
//   index, final 2000); 11 "name=value" of an option (SetOption) or 2001; 12 stores
//   "name=value" and replies 2000; anything else 0xFFFF.
// - Scripted replies take precedence: SetHandler's callback first (return nullopt
//   for the default), then SetReply's table. The callback runs on the peer's thread
//   without the peer's lock held. A scripted reply code 2004 ("no reply yet") is
//   sent but not stored, so the resend of that request is executed again.
// - Replies go to the source address and port of the request; after
//   SetReplyPort(p) to port p of the source address, whatever port the request
//   came from (as a boot loader replies to port 4370).
// The protocol itself (records, repeats, transfers, the commands) is the
// terminal-side server core (sim/terminal/server_core.h); the peer adds the
// thread, the socket or pseudo-terminal, the scripting, the faults and the log.
// Started with a terminal of its own (e.g. the main-firmware stand-in), the peer
// serves that terminal's commands and options instead of the plain ones above.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim::terminal {
class Terminal;
}

namespace vordlix::testpeer {

// One packet as the peer received it.
struct Packet {
  uint16_t command = 0;
  uint16_t connection = 0;
  uint16_t sequence = 0;
  std::vector<uint8_t> data;
  bool checksum_ok = true;
  bool repeat = false;  // answered from the stored reply (or 2004), not executed
};

struct Reply {
  uint16_t code = 2000;
  std::vector<uint8_t> data;
};

// A block handed over with 1500/1501 and the command that then used it.
struct Transfer {
  uint16_t command = 0;
  std::vector<uint8_t> block;   // the bytes received (complete when announced == block.size())
  uint32_t announced = 0;
  std::vector<uint8_t> params;  // the command's own data, e.g. 110's parameter block
};

enum class Fault {
  kDropReply,      // the reply is not sent (but stored: a repeat gets it)
  kLate,           // the reply is sent after delay_ms (the peer is busy meanwhile)
  kWrongSequence,  // a reply with a wrong sequence number is sent instead (the right one is stored)
  kWrongConnection,  // a reply with a wrong connection id is sent instead
  kStaleReply,     // before the real reply: a copy of the previous reply (old sequence number)
  kDropChunk,      // memory read (111): its first 1501 chunk is not sent (command is ignored)
};

constexpr uint16_t kAnyCommand = 0;

class TestPeer {
 public:
  static std::unique_ptr<TestPeer> StartUdp();
  static std::unique_ptr<TestPeer> StartSerial();
  // The same, serving the given terminal (it must outlive the peer's use of it).
  static std::unique_ptr<TestPeer> StartUdp(std::shared_ptr<sim::terminal::Terminal> terminal);
  static std::unique_ptr<TestPeer> StartSerial(std::shared_ptr<sim::terminal::Terminal> terminal);
  ~TestPeer();  // stops the thread

  uint16_t port() const;             // UDP: the port on 127.0.0.1
  const std::string& device() const;  // serial: the pseudo-terminal's path

  // Scripting.
  void SetReply(uint16_t command, Reply reply);
  void SetHandler(std::function<std::optional<Reply>(const Packet&)> handler);
  void SetOption(const std::string& name, const std::string& value);
  std::optional<std::string> GetOption(const std::string& name) const;
  void SetMemory(std::vector<uint8_t> memory);  // memory read from address 0 (plain terminal)
  // Runs fn on the served terminal with the peer's lock held (no packet is
  // handled meanwhile).
  void WithTerminal(const std::function<void(sim::terminal::Terminal&)>& fn);
  // Forgets every connection record, as a restart of the terminal does.
  void ResetConnections();

  // Faults. A fault applies once, to the nth executed request (repeats excluded)
  // of command (kAnyCommand: any) counted from now; several may be pending.
  void InjectFault(Fault fault, uint16_t command = kAnyCommand, int nth = 1, int delay_ms = 0);
  // Replies go to this port of the request's source address (0: its source port).
  void SetReplyPort(uint16_t port);
  // Silent: nothing is answered at all (a dead terminal); packets are still logged.
  void SetSilent(bool silent);

  // Records.
  std::vector<Packet> Log() const;
  std::vector<Transfer> Transfers() const;
  int Connections() const;  // records currently held
  void ClearLog();
  // Waits until pred(Log()) holds or timeout_ms passed; returns pred's last value.
  bool WaitFor(const std::function<bool(const std::vector<Packet>&)>& pred, int timeout_ms) const;
  // Bytes received and sent as the transport carries them (UDP payloads; serial frames).
  uint64_t BytesReceived() const;
  uint64_t BytesSent() const;

  struct Impl;

 private:
  explicit TestPeer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vordlix::testpeer
