// The command packet as the terminal side reads and writes it: the 8-byte
// little-endian header (command or reply code, checksum, connection id or
// field, sequence number), then data. The one place of the server core that
// knows the layout and the checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vordlix/src/wire.h"

namespace sim::terminal::packet {

using Bytes = std::vector<uint8_t>;

constexpr std::size_t kHeaderSize = vordlix::wire::kHeaderSize;

enum : uint16_t {
  kCmdStore = 110,
  kCmdMemoryRead = 111,
  kCmdGetOption = 11,
  kCmdSetOption = 12,
  kCmdConnect = 1000,
  kCmdDisconnect = 1001,
  kCmdPrepare = 1003,
  kCmdRestart = 1004,
  kCmdVersion = 1100,
  kCmdTransferSize = 1500,
  kCmdTransferChunk = 1501,
  kCmdTransferRelease = 1502,
  kReplyOk = 2000,
  kReplyRefused = 2001,
  kReplyNoStoredReply = 2004,
  kReplyUnknown = 0xFFFF,
};

struct Header {
  uint16_t command = 0;
  uint16_t checksum = 0;
  uint16_t field = 0;  // connection id in requests
  uint16_t sequence = 0;
};

inline uint16_t Get16(const uint8_t* p) { return vordlix::wire::Get16(p); }
inline uint32_t Get32(const uint8_t* p) { return vordlix::wire::Get32(p); }
inline void Put16(uint8_t* p, uint16_t v) { vordlix::wire::Put16(p, v); }
inline void Put32(uint8_t* p, uint32_t v) { vordlix::wire::Put32(p, v); }

// False when shorter than a header.
inline bool Parse(const uint8_t* p, std::size_t n, Header* h) {
  vordlix::wire::Header w;
  if (!vordlix::wire::ParseHeader(p, n, &w)) return false;
  *h = Header{w.command, w.checksum, w.connection, w.sequence};
  return true;
}

inline bool ChecksumValid(const uint8_t* p, std::size_t n) { return vordlix::wire::ChecksumValid(p, n); }

inline Bytes Build(uint16_t code, uint16_t field, uint16_t sequence, const Bytes& data) {
  return vordlix::wire::BuildPacket(code, field, sequence, data.data(), data.size());
}

// Recomputes the checksum after a field was changed.
inline void Seal(Bytes& p) { vordlix::wire::Seal(p.data(), p.size()); }

}  // namespace sim::terminal::packet
