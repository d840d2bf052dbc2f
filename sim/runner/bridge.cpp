#include "sim/runner/bridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace simrun {
namespace {

void put_be16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
uint32_t be16(const uint8_t* p) { return (p[0] << 8) | p[1]; }

uint16_t ip_header_sum(const uint8_t* h) {
  uint32_t s = 0;
  for (int i = 0; i < 20; i += 2) s += be16(h + i);
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint16_t>(~s);
}

uint64_t host_key(const sockaddr_in& a) {
  return (static_cast<uint64_t>(ntohl(a.sin_addr.s_addr)) << 16) | ntohs(a.sin_port);
}

}  // namespace

InnerPeer inner_peer(uint32_t n) {
  uint8_t hi = static_cast<uint8_t>(n >> 8), lo = static_cast<uint8_t>(n);
  return InnerPeer{{0x02, 0x51, 0x48, 0x00, hi, lo}, {10, 77, hi, lo}};
}

Bytes wrap_datagram(const InnerPeer& from, uint16_t sport, const uint8_t loader_mac[6],
                    const uint8_t loader_ip[4], uint16_t ip_id, const Bytes& payload) {
  Bytes f(42 + payload.size());
  uint8_t* p = f.data();
  memcpy(p, loader_mac, 6);
  memcpy(p + 6, from.mac, 6);
  put_be16(p + 12, 0x0800);
  uint8_t* ip = p + 14;
  ip[0] = 0x45;
  put_be16(ip + 2, 28 + payload.size());
  put_be16(ip + 4, ip_id);
  put_be16(ip + 6, 0x4000);
  ip[8] = 64;
  ip[9] = 17;
  memcpy(ip + 12, from.ip, 4);
  memcpy(ip + 16, loader_ip, 4);
  put_be16(ip + 10, ip_header_sum(ip));
  uint8_t* u = ip + 20;
  put_be16(u, sport);
  put_be16(u + 2, 4370);
  put_be16(u + 4, 8 + payload.size());  // checksum 0: none
  if (!payload.empty()) memcpy(u + 8, payload.data(), payload.size());
  if (f.size() < 60) f.resize(60, 0);  // the wire's minimum frame
  return f;
}

std::optional<Outgoing> unwrap_datagram(const Bytes& f) {
  if (f.size() < 42 || be16(&f[12]) != 0x0800) return std::nullopt;
  const uint8_t* ip = &f[14];
  size_t hl = (ip[0] & 15) * 4u;
  if ((ip[0] >> 4) != 4 || hl < 20 || ip[9] != 17 || f.size() < 14 + hl + 8) return std::nullopt;
  size_t total = be16(ip + 2);
  const uint8_t* u = ip + hl;
  size_t ulen = be16(u + 4);
  if (total < hl + 8 || 14 + total > f.size() || ulen < 8 || ulen > total - hl) return std::nullopt;
  if (be16(u + 2) != 4370) return std::nullopt;
  Outgoing out;
  memcpy(out.dst_ip, ip + 16, 4);
  out.payload.assign(u + 8, u + ulen);
  return out;
}

std::string parse_loopback(const std::string& text, sockaddr_in* addr) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return "expected ADDRESS:PORT, got \"" + text + "\"";
  std::string host = text.substr(0, colon), port = text.substr(colon + 1);
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1)
    return "\"" + host + "\" is not an IPv4 address";
  if ((ntohl(a.s_addr) >> 24) != 127)
    return "only loopback addresses (127.0.0.0/8) are accepted, not " + host;
  char* end = nullptr;
  errno = 0;
  long p = strtol(port.c_str(), &end, 10);
  if (port.empty() || *end || errno || p < 0 || p > 65535)
    return "\"" + port + "\" is not a port number (0 to 65535)";
  memset(addr, 0, sizeof *addr);
  addr->sin_family = AF_INET;
  addr->sin_addr = a;
  addr->sin_port = htons(static_cast<uint16_t>(p));
  return "";
}

Bridge::Bridge(const sockaddr_in& bind_addr) {
  if ((ntohl(bind_addr.sin_addr.s_addr) >> 24) != 127)
    throw std::runtime_error("the bridge binds loopback addresses only");
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + strerror(errno));
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&bind_addr), sizeof bind_addr) != 0) {
    std::string why = strerror(errno);
    close(fd_);
    throw std::runtime_error("cannot bind " + std::string(inet_ntoa(bind_addr.sin_addr)) + ":" +
                             std::to_string(ntohs(bind_addr.sin_port)) + ": " + why);
  }
}

Bridge::~Bridge() {
  if (fd_ >= 0) close(fd_);
}

uint16_t Bridge::port() const {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
  return ntohs(a.sin_port);
}

std::string Bridge::address() const {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
  return std::string(inet_ntoa(a.sin_addr)) + ":" + std::to_string(ntohs(a.sin_port));
}

uint32_t Bridge::peer_for(const sockaddr_in& host) {
  auto it = by_host_.find(host_key(host));
  if (it != by_host_.end()) return it->second;
  if (by_host_.size() >= kMaxPeers) return 0;
  uint32_t n = static_cast<uint32_t>(by_host_.size()) + 1;
  by_host_[host_key(host)] = n;
  InnerPeer p = inner_peer(n);
  uint32_t ip = (p.ip[0] << 24) | (p.ip[1] << 16) | (p.ip[2] << 8) | p.ip[3];
  by_inner_[ip] = host;
  return n;
}

std::optional<Bytes> Bridge::receive(const uint8_t loader_mac[6], const uint8_t loader_ip[4]) {
  uint8_t buf[65536];
  sockaddr_in from{};
  socklen_t n = sizeof from;
  ssize_t got = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &n);
  if (got < 0) return std::nullopt;
  uint32_t peer = peer_for(from);
  if (peer == 0) return std::nullopt;
  return wrap_datagram(inner_peer(peer), ntohs(from.sin_port), loader_mac, loader_ip, ip_id_++,
                       Bytes(buf, buf + got));
}

bool Bridge::transmit(const Bytes& frame) {
  std::optional<Outgoing> out = unwrap_datagram(frame);
  if (!out) return false;
  uint32_t ip = (out->dst_ip[0] << 24) | (out->dst_ip[1] << 16) | (out->dst_ip[2] << 8) | out->dst_ip[3];
  auto it = by_inner_.find(ip);
  if (it == by_inner_.end()) return false;  // no host socket behind that address
  if ((ntohl(it->second.sin_addr.s_addr) >> 24) != 127) return false;  // loopback only
  return sendto(fd_, out->payload.data(), out->payload.size(), 0,
                reinterpret_cast<const sockaddr*>(&it->second), sizeof it->second) >= 0;
}

}  // namespace simrun
