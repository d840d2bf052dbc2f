#include "sim/runner/pcap.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace simrun {
namespace {

// Every field is written little-endian, whatever the host; readers tell the
// byte order from the magic.
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

}  // namespace

PcapWriter::~PcapWriter() { close(); }

std::string PcapWriter::open(const std::string& path) {
  close();
  file_ = fopen(path.c_str(), "wb");
  if (!file_) return "cannot create " + path + ": " + strerror(errno);
  uint8_t h[24] = {};
  put32(h, kMagic);
  put16(h + 4, 2);  // version 2.4
  put16(h + 6, 4);
  // +8 time zone offset and +12 timestamp accuracy: 0
  put32(h + 16, kSnapLen);
  put32(h + 20, kLinkEthernet);
  if (fwrite(h, 1, sizeof h, file_) != sizeof h || fflush(file_) != 0) {
    std::string err = "cannot write " + path + ": " + strerror(errno);
    close();
    return err;
  }
  return "";
}

bool PcapWriter::write(const uint8_t* frame, size_t size, uint64_t micros) {
  if (!file_) return false;
  uint32_t kept = size > kSnapLen ? kSnapLen : uint32_t(size);
  uint8_t h[16];
  put32(h, uint32_t(micros / 1000000));
  put32(h + 4, uint32_t(micros % 1000000));
  put32(h + 8, kept);
  put32(h + 12, uint32_t(size));
  bool ok = fwrite(h, 1, sizeof h, file_) == sizeof h && fwrite(frame, 1, kept, file_) == kept;
  return fflush(file_) == 0 && ok;
}

void PcapWriter::close() {
  if (file_) fclose(file_);
  file_ = nullptr;
}

uint64_t PcapWriter::now_micros() {
  using namespace std::chrono;
  return uint64_t(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace simrun
