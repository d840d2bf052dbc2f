// A capture file in the classic pcap format (link type Ethernet), as standard
// capture tools read it: one record per frame, with the caller's timestamp.
// Every record is flushed as it is written, so a run that is killed leaves a
// readable file up to its last frame.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace simrun {

class PcapWriter {
 public:
  static constexpr uint32_t kMagic = 0xA1B2C3D4;  // microsecond timestamps
  static constexpr uint32_t kSnapLen = 65535;
  static constexpr uint32_t kLinkEthernet = 1;

  PcapWriter() = default;
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Creates (or truncates) the file and writes the file header; returns an error
  // text, "" on success.
  std::string open(const std::string& path);
  bool is_open() const { return file_ != nullptr; }

  // One frame (without the frame check sequence) at the given time in
  // microseconds since 1970. Frames longer than kSnapLen are cut to it, their
  // original length recorded. Returns false when the write failed.
  bool write(const uint8_t* frame, size_t size, uint64_t micros);
  bool write(const std::vector<uint8_t>& frame, uint64_t micros) {
    return write(frame.data(), frame.size(), micros);
  }

  void close();

  // Microseconds since 1970 from the system clock, for callers without a
  // clock of their own.
  static uint64_t now_micros();

 private:
  FILE* file_ = nullptr;
};

}  // namespace simrun
