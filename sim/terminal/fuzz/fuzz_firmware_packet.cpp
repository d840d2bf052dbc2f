// libFuzzer target: the main-firmware stand-in behind the server core, fed with
// a sequence of packets from up to four peers.
//
// Input: records of
//   u8 flags   bits 0-1: peer; bit 2: keep the checksum as given (else fixed);
//              bit 3: keep the connection id as given (else replaced by the id
//              of the last connect reply, when there is one)
//   u16 length (little-endian; at most kMaxPacket)
//   length bytes of packet
// so that most packets reach the commands.
//
// Checked for every packet the core hands out: at least a header, a valid
// checksum, the request's sequence number. A 1004 restarts the terminal (its
// records go), as the simulator's restart does.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/devices/flash_model.h"
#include "sim/terminal/main_firmware.h"
#include "sim/terminal/packet_codec.h"

namespace {

namespace p = sim::terminal::packet;
constexpr size_t kMaxPacket = 2040;
const char* const kPeers[4] = {"udp:127.0.0.1:1", "udp:127.0.0.1:2", "udp:127.0.0.2:1", "serial"};

void check(bool ok, const char* what) {
  if (!ok) {
    __builtin_printf("fuzz_firmware_packet: %s\n", what);
    abort();
  }
}

void check_packet(const sim::terminal::Bytes& b, uint16_t sequence) {
  check(b.size() >= p::kHeaderSize, "short packet sent");
  check(p::ChecksumValid(b.data(), b.size()), "bad checksum sent");
  check(p::Get16(&b[6]) == sequence, "wrong sequence number sent");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sim::FlashModel flash(0x22C4);
  flash.fill(0xFF);
  sim::terminal::MainFirmware firmware(&flash);
  int restarts = 0;
  firmware.SetRestart([&] { ++restarts; });
  sim::terminal::ServerCore core(firmware);
  uint16_t last_id = 0;
  bool have_id = false;

  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t flags = data[at];
    size_t len = data[at + 1] | (data[at + 2] << 8);
    at += 3;
    if (len > kMaxPacket) len = kMaxPacket;
    if (len > size - at) len = size - at;
    sim::terminal::Bytes packet(data + at, data + at + len);
    at += len;
    if (packet.size() >= p::kHeaderSize) {
      if (!(flags & 8) && have_id) p::Put16(&packet[4], last_id);
      if (!(flags & 4)) p::Seal(packet);
    }
    const uint16_t sequence = packet.size() >= 8 ? p::Get16(&packet[6]) : 0;
    auto out = core.Handle(kPeers[flags & 3], packet.data(), packet.size());
    for (const auto& b : out.stream) check_packet(b, sequence);
    if (!out.reply.empty()) {
      check_packet(out.reply, sequence);
      if (out.verdict == sim::terminal::ServerCore::Verdict::kConnect) {
        last_id = p::Get16(&out.reply[4]);
        have_id = true;
      }
    }
    if (out.after) out.after();
    if (restarts) core.Reset();
    restarts = 0;
  }
  return 0;
}
