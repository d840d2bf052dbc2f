// Fuzzes the network input: Ethernet frames into the DM9000 model, served by
// the loader's driver, IPv4 stack and packet handler.
//
// Input: records [flags][length u16][bytes]. Each record is one frame, served
// once. Flags:
//   0x01  fix the IPv4 header checksum    0x02  fix the command packet's checksum
//   0x04  put the first connection's id into the command packet
//   0x08  desynchronise the receive pointer first
//   0x10  raw: the first 4 bytes are the status and length words the controller
//         reports, whatever the data (odd, short or over-long lengths)
#include <cstring>

#include "bootloader/fuzz/fuzz_board.h"
#include "bootloader/net/net.h"

namespace {

void fix_frame(std::vector<uint8_t>& f, uint8_t flags, uint16_t id) {
  if (f.size() < 34 || f[12] != 0x08 || f[13] != 0x00) return;
  uint8_t* ip = &f[14];
  size_t hl = (ip[0] & 15) * 4u;
  if (hl < 20 || 14 + hl > f.size()) return;
  if ((flags & 0x06) && ip[9] == 17 && 14 + hl + 8 <= f.size()) {
    uint8_t* u = ip + hl;
    size_t ulen = (u[4] << 8) | u[5];
    size_t room = f.size() - 14 - hl;
    if (ulen >= 8 && ulen <= room) fuzz::fix_packet(u + 8, ulen - 8, flags & 0x04, id);
  }
  if (flags & 0x01) {
    ip[10] = ip[11] = 0;
    uint16_t s = bl::checksum(ip, static_cast<uint32_t>(hl));
    ip[10] = static_cast<uint8_t>(s);
    ip[11] = static_cast<uint8_t>(s >> 8);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Terminal* t = new fuzz::Terminal;
  t->begin();
  fuzz::Reader in{data, size};
  uint8_t flags;
  std::vector<uint8_t> bytes;
  for (int records = 0; records < 64 && in.next(&flags, &bytes); ++records) {
    if (flags & 0x08) t->eth.desynchronise(0x02 + (bytes.empty() ? 0 : bytes[0] % 0xFD));
    if (flags & 0x10) {
      if (bytes.size() < 4) continue;
      uint16_t status = bytes[0] | (bytes[1] << 8);
      uint16_t length = bytes[2] | (bytes[3] << 8);
      t->eth.receive_raw(std::vector<uint8_t>(bytes.begin() + 4, bytes.end()), status, length);
    } else {
      fix_frame(bytes, flags, t->first_id());
      if (!t->eth.receive(bytes)) continue;
    }
    if (!t->run([] { bl::serve_network(); })) break;
  }
  return 0;
}
