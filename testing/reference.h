// What tests check the wire against: the packet checksum, command packets and
// serial frames written plainly and apart from the production routines in wire/,
// so a test never checks a routine against itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace qtest {

using Bytes = std::vector<uint8_t>;

// RFC 1071 on little-endian words, summed in 64 bits and folded once at the end.
inline uint16_t ref_checksum(const uint8_t* p, size_t n) {
  uint64_t s = 0;
  for (size_t i = 0; i + 1 < n; i += 2) s += p[i] | (p[i + 1] << 8);
  if (n & 1) s += p[n - 1];
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint16_t>(~s);
}
inline uint16_t ref_checksum(const Bytes& b) { return ref_checksum(b.data(), b.size()); }

inline uint32_t le16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }
inline uint32_t le32(const Bytes& b, size_t at) { return le16(b, at) | (le16(b, at + 2) << 16); }
inline void put_le16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(Bytes& b, size_t at, uint32_t v) {
  put_le16(b, at, v);
  put_le16(b, at + 2, v >> 16);
}
inline Bytes u32s(std::initializer_list<uint32_t> values) {
  Bytes b;
  for (uint32_t v : values)
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return b;
}

// A command packet: command, checksum, connection id, sequence number, then data.
inline Bytes packet(uint16_t cmd, uint16_t conn, uint16_t seq, const Bytes& data = {}) {
  Bytes p(8, 0);
  put_le16(p, 0, cmd);
  put_le16(p, 4, conn);
  put_le16(p, 6, seq);
  p.insert(p.end(), data.begin(), data.end());
  put_le16(p, 2, ref_checksum(p));
  return p;
}

// Whether a packet's checksum field is right (taken with the field zero).
inline bool packet_checksum_ok(Bytes p) {
  if (p.size() < 8) return false;
  uint32_t want = le16(p, 2);
  p[2] = p[3] = 0;
  return ref_checksum(p) == want;
}

// A serial frame carrying a payload: 01 01 81 7E, length, checksum, payload.
inline Bytes frame(const Bytes& payload) {
  Bytes f{0x01, 0x01, 0x81, 0x7E, 0, 0, 0, 0};
  put_le16(f, 4, static_cast<uint32_t>(payload.size()));
  f.insert(f.end(), payload.begin(), payload.end());
  put_le16(f, 6, ref_checksum(f));
  return f;
}

}  // namespace qtest
