// The serial frame that carries one command packet on a line:
//   01 01 81 7E, u16 payload length L, u16 checksum (over the whole frame with
//   this field zero), the L payload bytes. Fields little-endian.
// One builder and one reading rule, for the terminal's command port and the
// host library alike.
#pragma once
#include <stdint.h>

#include "wire/bytes.h"
#include "wire/checksum.h"

namespace wire::frame {

constexpr uint32_t kLength = 4;
constexpr uint32_t kChecksum = 6;
constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kMaxPayload = 2040;  // a frame fits a 2,048-byte buffer

// Writes the header around a payload already at f + kHeaderSize; returns the
// frame's length.
inline uint32_t seal(uint8_t* f, uint32_t length) {
  f[0] = 0x01;
  f[1] = 0x01;
  f[2] = 0x81;
  f[3] = 0x7E;
  put_le16(f + kLength, length);
  put_le16(f + kChecksum, 0);
  put_le16(f + kChecksum, checksum(f, length + kHeaderSize));
  return length + kHeaderSize;
}

// What the first `have` bytes of a frame say (bytes 0 and 1 may hold anything):
// Bad when the marker 81 7E or the length is wrong, Complete when the whole
// frame is there, More otherwise. A frame announcing L = 0 never completes: a
// reader ends it by its silence rule.
enum class Status { More, Bad, Complete };
inline Status status(const uint8_t* f, uint32_t have) {
  if (have < 4) return Status::More;
  if (f[2] != 0x81 || f[3] != 0x7E) return Status::Bad;
  if (have < kHeaderSize) return Status::More;
  uint32_t length = get_le16(f + kLength);
  if (length > kMaxPayload) return Status::Bad;
  if (length == 0 || have < length + kHeaderSize) return Status::More;
  return Status::Complete;
}

// Whether a complete frame's checksum is right.
inline bool checksum_ok(const uint8_t* f) {
  return checksum_field_ok(f, get_le16(f + kLength) + kHeaderSize, kChecksum);
}

}  // namespace wire::frame
