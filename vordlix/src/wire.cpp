#include "wire.h"

#include <cstring>

namespace vordlix::wire {

uint16_t Checksum(const uint8_t* bytes, std::size_t n) {
  uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < n; i += 2) {
    sum += Get16(bytes + i);
    if (sum & 0x80000000u) sum = (sum & 0xFFFF) + (sum >> 16);
  }
  if (i < n) sum += bytes[i];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void Seal(uint8_t* packet, std::size_t n) {
  Put16(packet + 2, 0);
  Put16(packet + 2, Checksum(packet, n));
}

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
  if (n < 4) return false;
  std::vector<uint8_t> copy(packet, packet + n);
  Put16(&copy[2], 0);
  return Checksum(copy.data(), n) == Get16(packet + 2);
}

std::vector<uint8_t> BuildFrame(const uint8_t* payload, std::size_t length) {
  std::vector<uint8_t> f(kFrameHeaderSize + length);
  f[0] = 0x01;
  f[1] = 0x01;
  f[2] = 0x81;
  f[3] = 0x7E;
  Put16(&f[4], static_cast<uint16_t>(length));
  if (length) std::memcpy(&f[kFrameHeaderSize], payload, length);
  Put16(&f[6], Checksum(f.data(), f.size()));
  return f;
}

void FrameReader::Feed(const uint8_t* bytes, std::size_t n) { buffer_.insert(buffer_.end(), bytes, bytes + n); }

bool FrameReader::Next(std::vector<uint8_t>* payload) {
  std::size_t start = 0;
  bool found = false;
  while (buffer_.size() - start >= 4) {
    const uint8_t* f = buffer_.data() + start;
    const std::size_t avail = buffer_.size() - start;
    if (f[2] != 0x81 || f[3] != 0x7E) {
      ++start;
      continue;
    }
    if (avail < kFrameHeaderSize) break;
    const std::size_t len = Get16(f + 4);
    if (len > kMaxFramePayload) {
      ++start;
      continue;
    }
    if (avail < kFrameHeaderSize + len) break;
    std::vector<uint8_t> frame(f, f + kFrameHeaderSize + len);
    const uint16_t want = Get16(&frame[6]);
    Put16(&frame[6], 0);
    if (Checksum(frame.data(), frame.size()) != want) {
      ++start;
      continue;
    }
    payload->assign(frame.begin() + kFrameHeaderSize, frame.end());
    start += kFrameHeaderSize + len;
    found = true;
    break;
  }
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
  return found;
}

}  // namespace vordlix::wire
