// The command-packet protocol: connection table, repeat
// suppression, transfer buffer and the commands. Replies are built in the
// request's bytes and leave through the send routine of the connection record
// that the request's connection id names.
#include "bootloader/protocol/protocol.h"

#include "bootloader/boot/version.h"
#include "bootloader/flash/flash.h"
#include "bootloader/hw/hw.h"
#include "bootloader/loader_state.h"
#include "bootloader/pause.h"
#include "bootloader/runtime/heap.h"
#include "bootloader/runtime/mem.h"
#include "wire/packet.h"

namespace bl {
namespace {

namespace pk = wire::packet;
enum : uint16_t {
  kCmdWrite = pk::kCmdWrite, kCmdRead = pk::kCmdMemoryRead, kCmdConnect = pk::kCmdConnect,
  kCmdDisconnect = pk::kCmdDisconnect, kCmdRun = pk::kCmdRun, kCmdVersion = pk::kCmdVersion,
  kCmdAnnounce = pk::kCmdTransferSize, kCmdChunk = pk::kCmdTransferChunk,
  kCmdRelease = pk::kCmdTransferFree, kCmdNop = 2000,
};
enum : uint16_t { kDone = pk::kReplyOk, kRefused = pk::kReplyRefused, kNoReply = pk::kReplyNoStoredReply,
                  kUnknown = pk::kReplyUnknown };
enum : uint16_t { kReadAnnounce = pk::kCmdTransferSize, kReadChunk = pk::kCmdTransferChunk };
constexpr uint32_t kReadChunkSize = 1024;
constexpr uint32_t kPacingBase = 10240000;
constexpr uint32_t kRamStart = 0xA0000000u;
constexpr uint32_t kGrowBy = 5;

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(wire::get_le16(p)); }
using wire::get_le32;
using wire::put_le16;
using wire::put_le32;
using wire::packet::seal;

void send(const ConnRecord* r, const uint8_t* p, uint32_t n) {
  if (r->send) r->send(p, n, r->peer);
}

bool id_taken(uint32_t id, const ConnRecord* except) {
  const ConnTable& t = g_state.conns;
  for (uint32_t i = 0; i < t.count; ++i)
    if (&t.records[i] != except && t.records[i].id == id) return true;
  return false;
}

ConnRecord* find_by_id(uint32_t id) {
  ConnTable& t = g_state.conns;
  for (uint32_t i = 0; i < t.count; ++i)
    if (t.records[i].id == id) return &t.records[i];
  return nullptr;
}

void release_transfer(ConnRecord* r) {
  heap_free(r->transfer);  // null when there is none
  r->transfer = nullptr;
}

void remove(ConnRecord* r) {
  ConnTable& t = g_state.conns;
  release_transfer(r);
  const uint8_t* end = reinterpret_cast<const uint8_t*>(t.records + t.count);
  memmove(r, r + 1, static_cast<size_t>(end - reinterpret_cast<const uint8_t*>(r + 1)));
  --t.count;
}

// A header and its payload, written so that a power cut never leaves a valid
// header in front of a partial payload (the start-up code would run it): the
// block first with the header blank, then the header's last six bytes, then
// its magic. A block already in flash is left alone.
int32_t write_header_last(uint32_t dest, uint8_t* block, uint32_t len) {
  uint8_t have[64];
  bool same = true;
  for (uint32_t at = 0; same && at < len; at += sizeof have) {
    const uint32_t k = len - at < sizeof have ? len - at : sizeof have;
    hw::mem_read(kFlashWindow + dest + at, have, k);
    same = memcmp(have, block + at, k) == 0;
  }
  if (same) return 1;
  uint8_t header[8];
  memcpy(header, block, 8);
  memset(block, 0xFF, 8);
  int32_t result = flash_write(kFlashWindow + dest, block, len);
  if (result == 1) result = flash_write(kFlashWindow + dest + 2, header + 2, 6);
  if (result == 1) result = flash_write(kFlashWindow + dest, header, 2);
  memcpy(block, header, 8);
  return result;
}

// Command 110: checks, then the flash write (or the run from RAM for target
// 100). Returns 0 on success or the error code for bytes 4 and 5.
uint32_t write_area(ConnRecord* r, uint8_t* p, uint32_t d) {
  const int32_t size = r->announced;
  if (size <= 0) return 1;
  if (!r->transfer) return 2;
  if (r->received < size) return 3;
  if (d < 8) return 5;  // target and parameter missing from the request

  const uint32_t target = get_le32(p + 8);
  const uint32_t param = get_le32(p + 12);
  const uint32_t usize = static_cast<uint32_t>(size);
  uint32_t dest = 0;
  uint32_t len = usize;
  uint16_t header[2] = {0, 0};  // magic and second halfword of a header; none when magic 0
  const FlashGeometry* g = g_state.geometry;

  switch (target) {
    case 0: dest = 0; break;
    case 1:
    case 2:
      if (usize + 8 >= 0x30000) return 5;
      dest = 0x10000;
      header[0] = target == 1 ? 0x010B : 0x000B;
      header[1] = static_cast<uint16_t>(param >> 16);
      len = usize + 8;
      break;
    case 3:
      dest = 0x40000;
      header[0] = 0x050B;
      header[1] = param != 0;
      len = usize + 8;
      break;
    case 4:
      if (!g) return 4;  // no flash geometry: the flash is unusable
      if (usize > static_cast<uint32_t>(g->sector_size[g->parameter_sector])) return 5;
      dest = sector_start(g->parameter_sector) - kFlashWindow;
      break;
    case 5:
      if (usize > 0x10000) return 5;
      dest = 0x80000;
      break;
    case 6: dest = 0x90000; break;
    case 7:
      if (param < 0x800000) dest = param;
      else if (param >= kFlashWindow) dest = param - kFlashWindow;
      else return 5;
      break;
    case 100:
      if (param < kRamStart || param >= kFlashWindow) return 5;
      hw::mem_write(param, r->transfer, usize);
      hw::jump(param);
    default:
      return 5;
  }
  // The common limit, without wrap-around: 0 < len and dest + len ≤ 2 MB.
  if (len == 0 || dest > kFlashSize || len > kFlashSize - dest) return 5;

  const uint8_t* src = r->transfer;
  uint8_t* block = nullptr;
  if (header[0]) {
    block = static_cast<uint8_t*>(heap_alloc(len));
    if (!block) return 4;  // the write cannot be done
    put_le16(block, header[0]);
    put_le16(block + 2, header[1]);
    put_le32(block + 4, usize);
    memcpy(block + 8, r->transfer, usize);
    src = block;
    memcpy(p + 8, block, 8);  // the header is also built in the request's data
  }
  const int32_t result = header[0] ? write_header_last(dest, block, len)
                                   : flash_write(kFlashWindow + dest, src, len);
  heap_free(block);
  return result == 1 ? 0 : 4;
}

// Command 111: the announce packet, the chunks (not stored), then 2000 through
// the normal reply path, done by the caller.
void read_memory(ConnRecord* r, uint8_t* p) {
  uint32_t addr = get_le32(p + 8);
  int32_t left = static_cast<int32_t>(get_le32(p + 12));
  put_le16(p, kReadAnnounce);
  put_le32(p + 8, static_cast<uint32_t>(left));
  put_le32(p + 12, kReadChunkSize);
  seal(p, 16);
  send(r, p, 16);
  const uint32_t pause = r->pacing_rate > 0 ? kPacingBase / static_cast<uint32_t>(r->pacing_rate) : 0;
  for (uint32_t index = 0; left > 0; ++index) {
    const uint32_t k = static_cast<uint32_t>(left) < kReadChunkSize ? static_cast<uint32_t>(left)
                                                                     : kReadChunkSize;
    put_le16(p, kReadChunk);
    put_le16(p + 4, index);
    hw::mem_read(addr, p + 8, k);
    seal(p, k + 8);
    send(r, p, k + 8);
    pause_us(pause);
    addr += k;
    left -= static_cast<int32_t>(k);
  }
}

}  // namespace

ConnRecord* find_or_create(const uint8_t* peer) {
  ConnTable& t = g_state.conns;
  for (uint32_t i = 0; i < t.count; ++i)
    if (memcmp(t.records[i].peer, peer, kPeerAddrLen) == 0) return &t.records[i];

  if (t.count + 1 > t.capacity) {
    const uint32_t cap = t.capacity + kGrowBy;
    ConnRecord* grown = static_cast<ConnRecord*>(heap_alloc(cap * sizeof(ConnRecord)));
    if (!grown) return nullptr;  // the table cannot grow: the connect is refused
    if (t.count) memcpy(grown, t.records, t.count * sizeof(ConnRecord));
    heap_free(t.records);
    t.records = grown;
    t.capacity = cap;
  }
  ConnRecord* r = &t.records[t.count++];
  memset(r, 0, sizeof *r);
  uint32_t id;
  do {
    id = hw::oscr() & 0xFFFF;
  } while (id_taken(id, r));
  r->id = id;
  memcpy(r->peer, peer, kPeerAddrLen);
  return r;
}

int32_t handle_packet(uint8_t* p, int32_t n) {
  if (n < 8) return 0;
  const uint16_t cmd = get16(p);
  ConnRecord* r = find_by_id(get16(p + 4));
  if (!r && cmd != kCmdConnect) return 0;

  const uint16_t sum = get16(p + 2);
  put_le16(p + 2, 0);
  if (checksum(p, static_cast<uint32_t>(n)) != sum) return 0;

  put_le16(p, kDone);
  uint32_t L = 8;
  const uint32_t d = static_cast<uint32_t>(n) - 8;
  const uint16_t seq = get16(p + 6);

  if (r && seq == r->last_seq) {  // a repeat: never executed twice
    if (r->last_reply_len) {
      send(r, r->last_reply, r->last_reply_len);
      return cmd;
    }
    put_le16(p, kNoReply);
    seal(p, 8);
    send(r, p, 8);
    return 0;
  }

  switch (cmd) {
    case kCmdConnect:
      return kCmdConnect;
    case kCmdDisconnect:
      remove(r);
      return 0;
    case kCmdRun:
      if (d >= 4 && r->announced > 0 && r->transfer) {
        const uint32_t addr = get_le32(p + 8);
        hw::mem_write(addr, r->transfer, static_cast<uint32_t>(r->announced));
        hw::jump(addr);
      }
      put_le16(p, kRefused);
      break;
    case kCmdVersion:
      memcpy(p + 8, kVersionText, kVersionTextSize);
      L = 8 + kVersionTextSize;
      break;
    case kCmdAnnounce:
      if (d < 4) {  // no size in the request: nothing changes
        put_le16(p, kRefused);
        break;
      }
      release_transfer(r);
      r->announced = static_cast<int32_t>(get_le32(p + 8));
      // A size that cannot be had leaves no buffer; a later 110 reports error 2.
      r->transfer = r->announced > 0
                        ? static_cast<uint8_t*>(heap_alloc(static_cast<uint32_t>(r->announced)))
                        : nullptr;
      r->received = 0;
      break;
    case kCmdChunk:
      if (seq == r->last_seq + 1 && r->transfer &&
          static_cast<uint32_t>(r->announced - r->received) >= d) {
        memcpy(r->transfer + r->received, p + 8, d);
        r->received += static_cast<int32_t>(d);
      } else {
        put_le16(p, kRefused);
      }
      break;
    case kCmdRelease:
      release_transfer(r);
      r->announced = 0;
      r->received = 0;
      break;
    case kCmdNop:
      break;
    case kCmdWrite: {
      const uint32_t err = write_area(r, p, d);
      if (err) {
        put_le16(p, kRefused);
        put_le16(p + 4, err);
      }
      break;
    }
    case kCmdRead:
      if (d < 8) {
        put_le16(p, kRefused);
        break;
      }
      read_memory(r, p);
      put_le16(p, kDone);
      break;
    default:
      put_le16(p, kUnknown);
      break;
  }

  // The normal reply path.
  r->last_seq = seq;
  seal(p, L);
  send(r, p, L);
  memcpy(r->last_reply, p, L);
  r->last_reply_len = L;
  return cmd;
}

void complete_connect(uint8_t* p, int32_t n, const uint8_t* peer, SendFn send_fn,
                      int32_t pacing_rate) {
  ConnRecord* r = find_or_create(peer);
  if (!r || n < 8) return;  // no record can be had: no reply
  put_le16(p + 4, r->id);
  // The reply goes out with the request's length (8 for a connect, which
  // carries no data) and its checksum covers all of it, so that a connect with
  // data still gets a reply the host can verify.
  seal(p, static_cast<uint32_t>(n));
  r->send = send_fn;
  r->pacing_rate = pacing_rate;
  if (send_fn) send_fn(p, static_cast<uint32_t>(n), peer);
}

}  // namespace bl
