#include "vordlix/src/wire.h"

#include <algorithm>
#include <cstring>

#include "wire/checksum.h"
#include "wire/packet.h"
#include "wire/serial_frame.h"

namespace vordlix::wire {

uint16_t Checksum(const uint8_t* bytes, std::size_t n) {
  return ::wire::checksum(bytes, static_cast<uint32_t>(n));
}

void Seal(uint8_t* packet, std::size_t n) { ::wire::packet::seal(packet, static_cast<uint32_t>(n)); }

std::vector<uint8_t> BuildPacket(uint16_t command, uint16_t connection, uint16_t sequence,
                                 const uint8_t* data, std::size_t length) {
  std::vector<uint8_t> p(kHeaderSize + length);
  Put16(&p[0], command);
  Put16(&p[4], connection);
  Put16(&p[6], sequence);
  if (length) std::memcpy(&p[kHeaderSize], data, length);
  Seal(p.data(), p.size());
  return p;
}

bool ParseHeader(const uint8_t* packet, std::size_t n, Header* out) {
  if (n < kHeaderSize) return false;
  out->command = Get16(packet);
  out->checksum = Get16(packet + 2);
  out->connection = Get16(packet + 4);
  out->sequence = Get16(packet + 6);
  return true;
}

bool ChecksumValid(const uint8_t* packet, std::size_t n) {
  return ::wire::packet::checksum_ok(packet, static_cast<uint32_t>(n));
}

std::vector<uint8_t> BuildFrame(const uint8_t* payload, std::size_t length) {
  std::vector<uint8_t> f(kFrameHeaderSize + length);
  if (length) std::memcpy(&f[kFrameHeaderSize], payload, length);
  ::wire::frame::seal(f.data(), static_cast<uint32_t>(length));
  return f;
}

void FrameReader::Feed(const uint8_t* bytes, std::size_t n) { buffer_.insert(buffer_.end(), bytes, bytes + n); }

bool FrameReader::Next(std::vector<uint8_t>* payload) {
  std::size_t start = 0;
  bool found = false;
  while (buffer_.size() - start >= 4) {
    const uint8_t* f = buffer_.data() + start;
    const uint32_t avail = static_cast<uint32_t>(
        std::min<std::size_t>(buffer_.size() - start, kFrameHeaderSize + kMaxFramePayload));
    const ::wire::frame::Status st = ::wire::frame::status(f, avail);
    if (st == ::wire::frame::Status::More) break;
    if (st == ::wire::frame::Status::Bad || !::wire::frame::checksum_ok(f)) {
      ++start;  // not a frame here: search on behind its first byte
      continue;
    }
    const std::size_t len = Get16(f + 4);
    payload->assign(f + kFrameHeaderSize, f + kFrameHeaderSize + len);
    start += kFrameHeaderSize + len;
    found = true;
    break;
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
  return found;
}

}  // namespace vordlix::wire
