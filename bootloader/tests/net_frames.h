// Builders for the Ethernet, ARP, IPv4, ICMP and UDP frames the network tests
// send, and readers for the frames the loader sends back.
#pragma once
#include "bootloader/tests/net_serial_fixture.h"

namespace nettest {

const Bytes kLoaderMac = {0x02, 0x51, 0x4D, 0x00, 0x00, 0x01};
const Bytes kLoaderIp = {192, 168, 1, 201};
const Bytes kBroadcastIp = {255, 255, 255, 255};
const Bytes kHostMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};
const Bytes kHostIp = {192, 168, 1, 50};

inline Bytes slice(const Bytes& b, size_t at, size_t n) {
  return Bytes(b.begin() + at, b.begin() + at + n);
}

inline Bytes ether(const Bytes& dst, uint16_t type, const Bytes& payload,
                   const Bytes& src = kHostMac) {
  Bytes f = dst;
  append(f, src);
  f.push_back(static_cast<uint8_t>(type >> 8));
  f.push_back(static_cast<uint8_t>(type));
  append(f, payload);
  if (f.size() < 60) f.resize(60, 0);  // the wire's minimum
  return f;
}

inline Bytes arp_request(const Bytes& target_ip, uint16_t op = 1) {
  Bytes a = {0x00, 0x01, 0x08, 0x00, 6, 4, 0, static_cast<uint8_t>(op)};
  append(a, kHostMac);
  append(a, kHostIp);
  append(a, Bytes(6, 0));
  append(a, target_ip);
  return ether({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x0806, a);
}

struct IpOpts {
  Bytes dst = kLoaderIp;
  Bytes options;
  uint16_t flags_fragment = 0;
  uint16_t id = 0x1234;
  int total_length = -1;  // -1: the true length
};

inline Bytes ipv4(uint8_t proto, const Bytes& payload, const IpOpts& o = {}) {
  Bytes h(20, 0);
  h[0] = static_cast<uint8_t>(0x40 | ((20 + o.options.size()) / 4));
  append(h, o.options);
  size_t total = h.size() + payload.size();
  put_be16(h, 2, o.total_length >= 0 ? o.total_length : total);
  put_be16(h, 4, o.id);
  put_be16(h, 6, o.flags_fragment);
  h[8] = 64;
  h[9] = proto;
  std::memcpy(&h[12], kHostIp.data(), 4);
  std::memcpy(&h[16], o.dst.data(), 4);
  put_le16(h, 10, inet_sum(h.data(), h.size()));
  append(h, payload);
  return h;
}

inline Bytes icmp_echo(const Bytes& data, uint8_t type = 8) {
  Bytes m = {type, 0, 0, 0, 0x12, 0x34, 0x00, 0x01};
  append(m, data);
  put_le16(m, 2, inet_sum(m.data(), m.size()));
  return m;
}

inline Bytes udp(uint16_t sport, uint16_t dport, const Bytes& payload, int length = -1) {
  Bytes u(8, 0);
  put_be16(u, 0, sport);
  put_be16(u, 2, dport);
  put_be16(u, 4, length >= 0 ? length : 8 + payload.size());
  append(u, payload);
  return u;
}

inline Bytes ip_frame(uint8_t proto, const Bytes& payload, const IpOpts& o = {}) {
  return ether(kLoaderMac, 0x0800, ipv4(proto, payload, o));
}

inline Bytes udp_frame(uint16_t sport, uint16_t dport, const Bytes& payload, const IpOpts& o = {}) {
  return ip_frame(17, udp(sport, dport, payload), o);
}

// The UDP payload of a frame the loader sent (empty if it is not UDP).
inline Bytes udp_payload(const Bytes& f) {
  if (f.size() < 42 || be16(f, 12) != 0x0800 || f[23] != 17) return {};
  return slice(f, 42, be16(f, 38) - 8);
}

}  // namespace nettest
