// Fuzzes the command port: bytes into the FFUART model, received by the
// loader's serial-frame step machine and handed to the packet handler.
//
// Input: records [flags][length u16][bytes]. Flags:
//   0x01  wrap the bytes as a serial frame with a valid frame checksum
//   0x02  fix the command packet's checksum first (with 0x01)
//   0x04  put the first connection's id into the command packet (with 0x01)
//   0x08  a line error (parity/framing/break) before the bytes
// After each record the command port is served until its input is empty.
#include "bootloader/fuzz/fuzz_board.h"
#include "bootloader/serial/serial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::Terminal* t = new fuzz::Terminal;
  t->begin();
  fuzz::Reader in{data, size};
  uint8_t flags;
  std::vector<uint8_t> bytes;
  for (int records = 0; records < 64 && in.next(&flags, &bytes); ++records) {
    if (flags & 0x01) {
      if (flags & 0x02) fuzz::fix_packet(bytes.data(), bytes.size(), flags & 0x04, t->first_id());
      std::vector<uint8_t> f = {0x01, 0x01, 0x81, 0x7E, static_cast<uint8_t>(bytes.size()),
                                static_cast<uint8_t>(bytes.size() >> 8), 0, 0};
      f.insert(f.end(), bytes.begin(), bytes.end());
      uint16_t s = bl::checksum(f.data(), static_cast<uint32_t>(f.size()));
      f[6] = static_cast<uint8_t>(s);
      f[7] = static_cast<uint8_t>(s >> 8);
      bytes.swap(f);
    }
    if (flags & 0x08) t->ffuart.inject_error(0x1C & (flags | 0x04));
    t->ffuart.push_rx(bytes);
    bool alive = true;
    for (int i = 0; alive && i < 64 && (t->ffuart.rx_pending() || i == 0); ++i)
      alive = t->run([] { bl::serve_command_port(); });
    if (!alive) break;
  }
  return 0;
}
