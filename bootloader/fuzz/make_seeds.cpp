// Writes the seed inputs of the fuzz targets fuzz_ethernet and fuzz_serial into
// corpus/ (run by hand after a change of their record format; the seeds are
// kept in the tree). Frames are laid out with wire/'s layouts.
//
// Record format of both targets: [flags u8][length u16 LE][bytes]; see the flag
// lists at the top of fuzz_ethernet.cpp and fuzz_serial.cpp.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "wire/bytes.h"
#include "wire/net.h"
#include "wire/packet.h"
#include "wire/serial_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kLoaderMac = {0x02, 0x51, 0x4D, 0x00, 0x00, 0x01};
const Bytes kHostMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};
const Bytes kLoaderIp = {192, 168, 1, 201};
const Bytes kHostIp = {192, 168, 1, 50};

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes rec(uint8_t flags, const Bytes& data) {
  Bytes r(3);
  r[0] = flags;
  wire::put_le16(&r[1], static_cast<uint32_t>(data.size()));
  return cat(r, data);
}

// A command packet; its checksum is left 0: the targets fix it (flag 0x02).
Bytes cmd(uint16_t number, uint16_t conn = 0, uint16_t seq = 0, const Bytes& data = {}) {
  Bytes p(wire::packet::kHeaderSize, 0);
  wire::put_le16(&p[wire::packet::kCommand], number);
  wire::put_le16(&p[wire::packet::kConnection], conn);
  wire::put_le16(&p[wire::packet::kSequence], seq);
  return cat(p, data);
}

Bytes u32(std::initializer_list<uint32_t> v) {
  Bytes b;
  for (uint32_t x : v) {
    b.resize(b.size() + 4);
    wire::put_le32(&b[b.size() - 4], x);
  }
  return b;
}

Bytes ether(const Bytes& dst, uint32_t type, const Bytes& payload) {
  Bytes f(wire::eth::kHeaderSize);
  std::copy(dst.begin(), dst.end(), f.begin() + wire::eth::kDst);
  std::copy(kHostMac.begin(), kHostMac.end(), f.begin() + wire::eth::kSrc);
  wire::put_be16(&f[wire::eth::kType], type);
  f = cat(f, payload);
  if (f.size() < wire::eth::kMinFrame) f.resize(wire::eth::kMinFrame, 0);
  return f;
}

Bytes ipv4(uint8_t proto, const Bytes& payload, const Bytes& dst = kLoaderIp, const Bytes& options = {},
           uint32_t frag = 0) {
  namespace ip = wire::ipv4;
  const uint32_t hl = ip::kHeaderSize + static_cast<uint32_t>(options.size());
  Bytes h(ip::kHeaderSize, 0);
  h[ip::kVersionIhl] = static_cast<uint8_t>(0x40 | hl / 4);
  wire::put_be16(&h[ip::kTotalLength], hl + static_cast<uint32_t>(payload.size()));
  wire::put_be16(&h[ip::kId], 0x1234);
  wire::put_be16(&h[ip::kFlagsFragment], frag);
  h[ip::kTtl] = 64;
  h[ip::kProtocol] = proto;
  std::copy(kHostIp.begin(), kHostIp.end(), h.begin() + ip::kSrc);
  std::copy(dst.begin(), dst.end(), h.begin() + ip::kDst);
  return cat(cat(h, options), payload);
}

Bytes udp(const Bytes& payload) {
  Bytes u(wire::udp::kHeaderSize, 0);
  wire::put_be16(&u[wire::udp::kSrcPort], 50000);
  wire::put_be16(&u[wire::udp::kDstPort], wire::udp::kCommandPort);
  wire::put_be16(&u[wire::udp::kLength], wire::udp::kHeaderSize + static_cast<uint32_t>(payload.size()));
  return cat(u, payload);
}

Bytes udp_cmd(const Bytes& c) {
  return rec(0x07, ether(kLoaderMac, wire::eth::kTypeIpv4, ipv4(wire::ipv4::kProtoUdp, udp(c))));
}

Bytes icmp_echo(const Bytes& data) {
  return cat({wire::icmp::kEchoRequest, 0, 0, 0, 0x12, 0x34, 0, 1}, data);
}

Bytes arp_request(const Bytes& target) {
  namespace a = wire::arp;
  Bytes p(a::kSize, 0);
  wire::put_be16(&p[a::kHardwareType], 1);
  wire::put_be16(&p[a::kProtocolType], wire::eth::kTypeIpv4);
  p[a::kHardwareLen] = 6;
  p[a::kProtocolLen] = 4;
  wire::put_be16(&p[a::kOperation], a::kRequest);
  std::copy(kHostMac.begin(), kHostMac.end(), p.begin() + a::kSenderMac);
  std::copy(kHostIp.begin(), kHostIp.end(), p.begin() + a::kSenderIp);
  std::copy(target.begin(), target.end(), p.begin() + a::kTargetIp);
  return rec(0, ether(Bytes(6, 0xFF), wire::eth::kTypeArp, p));
}

Bytes transfer(const std::function<Bytes(const Bytes&)>& wrap, uint32_t size, uint32_t chunk) {
  Bytes out = cat(wrap(cmd(1000)), wrap(cmd(1500, 0, 1, u32({size}))));
  uint16_t seq = 2;
  for (uint32_t at = 0; at < size; at += chunk) {
    Bytes data;
    for (uint32_t i = 0; i < std::min(chunk, size - at); ++i) data.push_back(static_cast<uint8_t>(at + i));
    out = cat(out, wrap(cmd(1501, 0, seq++, data)));
  }
  return cat(out, wrap(cmd(110, 0, seq, u32({0, 0}))));
}

Bytes ping(const Bytes& data, const Bytes& dst = kLoaderIp, const Bytes& options = {}, uint32_t frag = 0) {
  return rec(0x01, ether(kLoaderMac, wire::eth::kTypeIpv4,
                         ipv4(wire::ipv4::kProtoIcmp, icmp_echo(data), dst, options, frag)));
}

std::map<std::string, Bytes> ethernet_seeds() {
  const Bytes connect = udp_cmd(cmd(1000));
  Bytes raw_long(4);
  wire::put_le16(&raw_long[0], 0x0001);
  wire::put_le16(&raw_long[2], 1537);
  Bytes raw_bad(4);
  wire::put_le16(&raw_bad[0], 0x0201);
  wire::put_le16(&raw_bad[2], 64);
  return {
      {"arp_any", arp_request({192, 168, 1, 7})},
      {"ping", ping({'h', 'e', 'l', 'l', 'o'})},
      {"ping_broadcast_options", ping(Bytes(40, 'x'), Bytes(4, 0xFF), {1, 1, 1, 0})},
      {"first_fragment", ping({'f'}, kLoaderIp, {}, 0x2000)},
      {"connect_version", cat(connect, udp_cmd(cmd(1100, 0, 1)))},
      {"connect_read", cat(connect, udp_cmd(cmd(111, 0, 1, u32({0xFF800000u, 2500}))))},
      {"connect_nop_disconnect", cat(cat(connect, udp_cmd(cmd(2000, 0, 1))), udp_cmd(cmd(1001, 0, 2)))},
      {"transfer_flash", transfer(udp_cmd, 3000, 1024)},
      {"desync", cat(rec(0x08, {}), connect)},
      {"raw_long", rec(0x10, cat(raw_long, Bytes(64, 0)))},
      {"raw_bad_status", cat(rec(0x10, cat(raw_bad, Bytes(64, 0))), connect)},
  };
}

Bytes serial_wrap(const Bytes& c) { return rec(0x07, c); }

std::map<std::string, Bytes> serial_seeds() {
  Bytes zero_length(wire::frame::kHeaderSize, 0);
  zero_length[0] = zero_length[1] = 0x01;
  zero_length[2] = 0x81;
  zero_length[3] = 0x7E;
  Bytes bad_marker = zero_length;
  bad_marker[2] = 0x80;
  wire::put_le16(&bad_marker[wire::frame::kLength], 8);
  return {
      {"connect_version", cat(serial_wrap(cmd(1000)), serial_wrap(cmd(1100, 0, 1)))},
      {"connect_read", cat(serial_wrap(cmd(1000)), serial_wrap(cmd(111, 0, 1, u32({0xFF800000u, 1500}))))},
      {"transfer_flash", transfer(serial_wrap, 4100, 2032)},
      {"length_zero", rec(0x00, cat(zero_length, Bytes(40, 0)))},
      {"short_packet", rec(0x01, Bytes(5, 0))},
      {"bad_marker", rec(0x00, cat(bad_marker, Bytes(8, 0)))},
      {"line_error", cat(rec(0x08, {}), serial_wrap(cmd(1000)))},
      {"repeat", cat(cat(serial_wrap(cmd(1000)), serial_wrap(cmd(2000, 0, 1))), serial_wrap(cmd(2000, 0, 1)))},
  };
}

bool write(const std::string& dir, const std::map<std::string, Bytes>& seeds) {
  mkdir(dir.c_str(), 0755);
  for (const auto& [name, bytes] : seeds) {
    FILE* f = fopen((dir + "/" + name).c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
      fprintf(stderr, "make_seeds: cannot write %s/%s\n", dir.c_str(), name.c_str());
      if (f) fclose(f);
      return false;
    }
    fclose(f);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string corpus = argc > 1 ? argv[1] : "bootloader/fuzz/corpus";
  return write(corpus + "/fuzz_ethernet", ethernet_seeds()) && write(corpus + "/fuzz_serial", serial_seeds()) ? 0 : 1;
}
