// The command packet: an 8-byte header of 16-bit little-endian fields, then the
// data. In a request the first field is the command number, in a reply the
// reply code. The checksum covers the whole packet with its own field zero.
#pragma once
#include <stdint.h>

#include "wire/bytes.h"
#include "wire/checksum.h"

namespace wire::packet {

constexpr uint32_t kCommand = 0;     // command number, or reply code
constexpr uint32_t kChecksum = 2;
constexpr uint32_t kConnection = 4;  // connection id (some replies: error code, chunk index)
constexpr uint32_t kSequence = 6;
constexpr uint32_t kHeaderSize = 8;

// Command numbers.
enum : uint16_t {
  kCmdGetOption = 11,
  kCmdSetOption = 12,
  kCmdWrite = 110,          // write the transfer buffer to storage (target in the data)
  kCmdMemoryRead = 111,
  kCmdConnect = 1000,
  kCmdDisconnect = 1001,
  kCmdPrepare = 1003,
  kCmdRestart = 1004,
  kCmdRun = 1016,
  kCmdVersion = 1100,
  kCmdTransferSize = 1500,   // announce a block; in a memory read: the announce
  kCmdTransferChunk = 1501,  // one chunk; in a memory read: one chunk
  kCmdTransferFree = 1502,
};

// Reply codes.
enum : uint16_t {
  kReplyOk = 2000,
  kReplyRefused = 2001,
  kReplyNoStoredReply = 2004,
  kReplyUnknown = 0xFFFF,
};

inline uint32_t command(const uint8_t* p) { return get_le16(p + kCommand); }
inline uint32_t connection(const uint8_t* p) { return get_le16(p + kConnection); }
inline uint32_t sequence(const uint8_t* p) { return get_le16(p + kSequence); }

// Checksum field ← 0, then ← the checksum over the first n bytes.
inline void seal(uint8_t* p, uint32_t n) {
  put_le16(p + kChecksum, 0);
  put_le16(p + kChecksum, checksum(p, n));
}

// Whether the checksum field matches the first n bytes (false when n < 4).
inline bool checksum_ok(const uint8_t* p, uint32_t n) { return checksum_field_ok(p, n, kChecksum); }

}  // namespace wire::packet
