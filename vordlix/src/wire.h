// Wire formats shared by the library and its test peer: the 8-byte command
// packet, its checksum, and the serial frame that carries a packet on a line.
// All fields are 16-bit little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vordlix::wire {

constexpr std::size_t kHeaderSize = 8;

// Command numbers and reply codes the library itself relies on.
enum : uint16_t {
  kCmdMemoryRead = 111,
  kCmdConnect = 1000,
  kCmdDisconnect = 1001,
  kCmdTransferSize = 1500,   // request: announce a block; in a memory read: the announce
  kCmdTransferChunk = 1501,  // request: one chunk; in a memory read: one chunk
  kReplyOk = 2000,
  kReplyRefused = 2001,
  kReplyNoStoredReply = 2004,
  kReplyUnknown = 0xFFFF,
};

// The packet checksum (wire/checksum.h).
uint16_t Checksum(const uint8_t* bytes, std::size_t n);

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Header {
  uint16_t command = 0;  // command number, or reply code in a reply
  uint16_t checksum = 0;
  uint16_t connection = 0;  // connection id (or error code / chunk index in some replies)
  uint16_t sequence = 0;
};

// Builds a packet with a valid checksum over the whole packet.
std::vector<uint8_t> BuildPacket(uint16_t command, uint16_t connection, uint16_t sequence,
                                 const uint8_t* data, std::size_t length);
// Recomputes the checksum field of a packet in place.
void Seal(uint8_t* packet, std::size_t n);
// Reads the header; false when the packet is shorter than a header.
bool ParseHeader(const uint8_t* packet, std::size_t n, Header* out);
// Whether the checksum field matches the packet's bytes.
bool ChecksumValid(const uint8_t* packet, std::size_t n);

// Serial frame: 01 01 81 7E, u16 payload length, u16 frame checksum (over the
// whole frame with this field 0), payload.
constexpr std::size_t kFrameHeaderSize = 8;
constexpr std::size_t kMaxFramePayload = 2040;
std::vector<uint8_t> BuildFrame(const uint8_t* payload, std::size_t length);

// Incremental frame reader for a byte stream, by the frame rule of
// wire/serial_frame.h: bytes 0 and 1 may hold anything; a frame is found by its
// marker 81 7E, a length of 1 to 2,040 and a valid checksum. On a bad marker,
// length or checksum it drops one byte and searches on; a frame announcing
// L = 0 waits until Skip() after silence.
class FrameReader {
 public:
  void Feed(const uint8_t* bytes, std::size_t n);
  // Takes the next complete frame's payload out of the stream; false when none is complete.
  bool Next(std::vector<uint8_t>* payload);
  // Drops the first byte: after silence, a partial frame that never completes is
  // taken for noise and the search goes on behind its start.
  void Skip() {
    if (!buffer_.empty()) buffer_.erase(buffer_.begin());
  }
  void Clear() { buffer_.clear(); }
  std::size_t Pending() const { return buffer_.size(); }

 private:
  std::vector<uint8_t> buffer_;
};

}  // namespace vordlix::wire
