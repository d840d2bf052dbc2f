// The command packet as the terminal side reads and writes it: the 8-byte
// little-endian header (command or reply code, checksum, connection id or
// field, sequence number), then data. The server core's one door to the wire
// formats (wire/packet.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "wire/packet.h"

namespace sim::terminal::packet {

using Bytes = std::vector<uint8_t>;
namespace pk = ::wire::packet;

constexpr std::size_t kHeaderSize = pk::kHeaderSize;

enum : uint16_t {
  kCmdStore = pk::kCmdWrite,
  kCmdMemoryRead = pk::kCmdMemoryRead,
  kCmdGetOption = pk::kCmdGetOption,
  kCmdSetOption = pk::kCmdSetOption,
  kCmdConnect = pk::kCmdConnect,
  kCmdDisconnect = pk::kCmdDisconnect,
  kCmdPrepare = pk::kCmdPrepare,
  kCmdRestart = pk::kCmdRestart,
  kCmdVersion = pk::kCmdVersion,
  kCmdTransferSize = pk::kCmdTransferSize,
  kCmdTransferChunk = pk::kCmdTransferChunk,
  kCmdTransferRelease = pk::kCmdTransferFree,
  kReplyOk = pk::kReplyOk,
  kReplyRefused = pk::kReplyRefused,
  kReplyNoStoredReply = pk::kReplyNoStoredReply,
  kReplyUnknown = pk::kReplyUnknown,
};

struct Header {
  uint16_t command = 0;
  uint16_t checksum = 0;
  uint16_t field = 0;  // connection id in requests
  uint16_t sequence = 0;
};

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(::wire::get_le16(p)); }
inline uint32_t Get32(const uint8_t* p) { return ::wire::get_le32(p); }
inline void Put16(uint8_t* p, uint16_t v) { ::wire::put_le16(p, v); }
inline void Put32(uint8_t* p, uint32_t v) { ::wire::put_le32(p, v); }

// False when shorter than a header.
inline bool Parse(const uint8_t* p, std::size_t n, Header* h) {
  if (n < kHeaderSize) return false;
  *h = Header{Get16(p + pk::kCommand), Get16(p + pk::kChecksum), Get16(p + pk::kConnection),
              Get16(p + pk::kSequence)};
  return true;
}

inline bool ChecksumValid(const uint8_t* p, std::size_t n) {
  return pk::checksum_ok(p, static_cast<uint32_t>(n));
}

// Recomputes the checksum after a field was changed.
inline void Seal(Bytes& p) { pk::seal(p.data(), static_cast<uint32_t>(p.size())); }

inline Bytes Build(uint16_t code, uint16_t field, uint16_t sequence, const Bytes& data) {
  Bytes p(kHeaderSize + data.size());
  Put16(&p[pk::kCommand], code);
  Put16(&p[pk::kConnection], field);
  Put16(&p[pk::kSequence], sequence);
  if (!data.empty()) std::memcpy(&p[kHeaderSize], data.data(), data.size());
  Seal(p);
  return p;
}

}  // namespace sim::terminal::packet
