// libFuzzer target: the packet handler on the simulated bus, fed with a
// sequence of packets from up to four peers (three network, one serial).
//
// Input: records of
//   u8 flags   bits 0-1: peer; bit 2: keep the checksum as given (else fixed);
//              bit 3: keep the connection id as given (else replaced by the id
//              of record (bits 4-7) mod count, when there is a record)
//   u16 length (little-endian; at most kMaxPacket)
//   length bytes of packet
// so that most packets get past the checksum and id checks and reach the
// commands. Connects are completed as the transports do. A jump or restart
// (1016, 110 target 100, 1004, a memory read of the fault range) ends the input,
// and so does a memory read long enough to send kMaxSends packets.
//
// Checked on every packet sent: a valid checksum, a length within the packet
// room, a peer that exists; and the table's invariants after every packet.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sim/engine/native/sim_board.h"
#include "bootloader/flash/flash.h"
#include "bootloader/hw/host_board.h"
#include "bootloader/loader_state.h"
#include "bootloader/protocol/protocol.h"
#include "testing/reference.h"

namespace {

constexpr uint32_t kMaxPacket = 2040;  // a serial frame's payload at most
constexpr int32_t kRates[4] = {104857600, 104857600, 104857600, 115200};
const uint8_t kPeers[4][bl::kPeerAddrLen] = {
    {2, 0, 0, 0, 0, 1, 127, 0, 0, 1},
    {2, 0, 0, 0, 0, 2, 127, 0, 0, 2},
    {2, 0, 0, 0, 0, 1, 127, 0, 0, 3},  // same MAC as peer 0, other address
    {0xC0, 'F', 'F', 'U', 0, 0, 0, 0, 0, 0},
};

void check(bool ok, const char* what) {
  if (!ok) {
    __builtin_printf("fuzz_packet: %s\n", what);
    abort();
  }
}

uint16_t ref_sum(const uint8_t* p, uint32_t n) { return qtest::ref_checksum(p, n); }

// A memory read may send millions of chunks (up to 2 GB, as specified); past
// this many packets an input has shown what it can, so it ends there.
constexpr uint32_t kMaxSends = 256;
uint32_t g_sends = 0;
struct EnoughSent {};

void on_send(const uint8_t* p, uint32_t n, const uint8_t* peer) {
  if (++g_sends > kMaxSends) throw EnoughSent{};
  check(n >= 8 && n <= kMaxPacket, "reply length");
  bool known = false;
  for (const auto& k : kPeers) known |= memcmp(k, peer, bl::kPeerAddrLen) == 0;
  check(known, "reply to an unknown peer");
  uint8_t copy[kMaxPacket];
  memcpy(copy, p, n);
  uint16_t sum = static_cast<uint16_t>(copy[2] | (copy[3] << 8));
  copy[2] = copy[3] = 0;
  check(ref_sum(copy, n) == sum, "reply checksum");
}

void check_table() {
  const bl::ConnTable& t = bl::g_state.conns;
  check(t.count <= t.capacity, "count above capacity");
  for (uint32_t i = 0; i < t.count; ++i) {
    const bl::ConnRecord& r = t.records[i];
    check(r.id <= 0xFFFF, "id range");
    check(r.last_reply_len <= bl::kLastReplyMax, "stored reply length");
    check(r.received >= 0 && (r.announced <= 0 || r.received <= r.announced), "received count");
    for (uint32_t j = 0; j < i; ++j) {
      check(t.records[j].id != r.id, "duplicate id");
      check(memcmp(t.records[j].peer, r.peer, bl::kPeerAddrLen) != 0, "duplicate peer");
    }
  }
}

sim::SimBoard& board() {
  static sim::SimBoard* b = [] {
    auto* nb = new sim::SimBoard(0x22C4);
    // About 1 ms per OSCR read: every pause ends after a read or two, and
    // erase and program still finish within the store's polls.
    nb->timer.set_step(3686);
    return nb;
  }();
  return *b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::SimBoard& b = board();
  const auto& c = b.flash.counters();
  if (c.programs || c.erases || c.chip_erases) b.flash.fill(0xFF);  // a blank part each time
  b.flash.clear_counters();
  b.install();
  bl::flash_identify();

  static uint8_t frame[kMaxPacket + 8];
  g_sends = 0;
  try {
    while (size >= 3) {
      const uint8_t flags = data[0];
      uint32_t n = static_cast<uint32_t>(data[1] | (data[2] << 8));
      data += 3;
      size -= 3;
      if (n > kMaxPacket) n = kMaxPacket;
      if (n > size) n = static_cast<uint32_t>(size);
      memset(frame, 0xEE, sizeof frame);
      memcpy(frame, data, n);
      data += n;
      size -= n;

      const int peer = flags & 3;
      const bl::ConnTable& t = bl::g_state.conns;
      if (!(flags & 8) && t.count && n >= 6) {
        uint32_t id = t.records[(flags >> 4) % t.count].id;
        frame[4] = static_cast<uint8_t>(id);
        frame[5] = static_cast<uint8_t>(id >> 8);
      }
      if (!(flags & 4) && n >= 4) {
        frame[2] = frame[3] = 0;
        uint16_t s = ref_sum(frame, n);
        frame[2] = static_cast<uint8_t>(s);
        frame[3] = static_cast<uint8_t>(s >> 8);
      }
      int32_t r = bl::handle_packet(frame, static_cast<int32_t>(n));
      if (r == 1000) bl::complete_connect(frame, static_cast<int32_t>(n), kPeers[peer], on_send, kRates[peer]);
      check_table();
      if (r == 1004) break;  // the transport restarts the loader
    }
  } catch (const bl::hw::LeaveLoader&) {
    // A run command or an abort: the loader is gone.
  } catch (const EnoughSent&) {
  }
  bl::hw::set_board(nullptr);
  return 0;
}
