#include "sim/runner/bridge.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "wire/checksum.h"
#include "wire/net.h"

namespace simrun {
namespace {

using wire::get_be16;
using wire::put_be16;
namespace eth = wire::eth;
namespace arpf = wire::arp;
namespace ipf = wire::ipv4;
namespace udpf = wire::udp;

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
  Bytes f(wire::kUdpPayloadOffset + payload.size());
  uint8_t* p = f.data();
  memcpy(p + eth::kDst, loader_mac, 6);
  memcpy(p + eth::kSrc, from.mac, 6);
  put_be16(p + eth::kType, eth::kTypeIpv4);
  uint8_t* ip = p + wire::kIpOffset;
  ip[ipf::kVersionIhl] = 0x45;
  put_be16(ip + ipf::kTotalLength, ipf::kHeaderSize + udpf::kHeaderSize + payload.size());
  put_be16(ip + ipf::kId, ip_id);
  put_be16(ip + ipf::kFlagsFragment, ipf::kDontFragment);
  ip[ipf::kTtl] = 64;
  ip[ipf::kProtocol] = ipf::kProtoUdp;
  memcpy(ip + ipf::kSrc, from.ip, 4);
  memcpy(ip + ipf::kDst, loader_ip, 4);
  // The Internet checksum: the one checksum, stored in the order it was summed.
  wire::put_le16(ip + ipf::kChecksum, wire::checksum(ip, ipf::kHeaderSize));
  uint8_t* u = p + wire::kUdpOffset;
  put_be16(u + udpf::kSrcPort, sport);
  put_be16(u + udpf::kDstPort, udpf::kCommandPort);
  put_be16(u + udpf::kLength, udpf::kHeaderSize + payload.size());  // checksum 0: none
  if (!payload.empty()) memcpy(p + wire::kUdpPayloadOffset, payload.data(), payload.size());
  if (f.size() < eth::kMinFrame) f.resize(eth::kMinFrame, 0);
  return f;
}

Bytes arp_request(const InnerPeer& from, const uint8_t target[4]) {
  Bytes f(eth::kMinFrame, 0);
  uint8_t* p = f.data();
  memset(p + eth::kDst, 0xFF, 6);
  memcpy(p + eth::kSrc, from.mac, 6);
  put_be16(p + eth::kType, eth::kTypeArp);
  uint8_t* a = p + eth::kHeaderSize;
  put_be16(a + arpf::kHardwareType, 1);
  put_be16(a + arpf::kProtocolType, eth::kTypeIpv4);
  a[arpf::kHardwareLen] = 6;
  a[arpf::kProtocolLen] = 4;
  put_be16(a + arpf::kOperation, arpf::kRequest);
  memcpy(a + arpf::kSenderMac, from.mac, 6);
  memcpy(a + arpf::kSenderIp, from.ip, 4);
  memcpy(a + arpf::kTargetIp, target, 4);
  return f;
}

std::optional<std::array<uint8_t, 6>> arp_reply_from(const Bytes& f, const uint8_t ip[4]) {
  if (f.size() < eth::kHeaderSize + arpf::kSize || eth::type(f.data()) != eth::kTypeArp)
    return std::nullopt;
  const uint8_t* a = f.data() + eth::kHeaderSize;
  if (get_be16(a + arpf::kOperation) != arpf::kReply || memcmp(a + arpf::kSenderIp, ip, 4) != 0)
    return std::nullopt;
  std::array<uint8_t, 6> mac;
  memcpy(mac.data(), a + arpf::kSenderMac, 6);
  return mac;
}

std::optional<Outgoing> unwrap_datagram(const Bytes& f) {
  if (f.size() < wire::kUdpPayloadOffset || eth::type(f.data()) != eth::kTypeIpv4) return std::nullopt;
  const uint8_t* ip = &f[wire::kIpOffset];
  size_t hl = ipf::header_len(ip);
  if (ipf::version(ip) != 4 || hl < ipf::kHeaderSize || ip[ipf::kProtocol] != ipf::kProtoUdp ||
      f.size() < wire::kIpOffset + hl + udpf::kHeaderSize)
    return std::nullopt;
  size_t total = ipf::total_len(ip);
  const uint8_t* u = ip + hl;
  size_t ulen = get_be16(u + udpf::kLength);
  if (total < hl + udpf::kHeaderSize || wire::kIpOffset + total > f.size() ||
      ulen < udpf::kHeaderSize || ulen > total - hl)
    return std::nullopt;
  if (get_be16(u + udpf::kDstPort) != udpf::kCommandPort) return std::nullopt;
  Outgoing out;
  memcpy(out.dst_ip, ip + ipf::kDst, 4);
  out.payload.assign(u + udpf::kHeaderSize, u + ulen);
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

Bridge::Bridge(const sockaddr_in& bind_addr, const std::array<uint8_t, 4>& terminal_ip, const Impairment& imp)
    : terminal_ip_(terminal_ip) {
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
  link_ = std::make_unique<Link>(fd_, imp);
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

std::optional<Bytes> Bridge::receive() {
  // Datagrams from the host wait in order until the terminal's MAC is known.
  link_->pump();
  while (waiting_.size() < kMaxWaiting) {
    sockaddr_in from{};
    Bytes data;
    if (!link_->receive(&from, &data)) break;
    uint32_t peer = peer_for(from);
    if (peer == 0) continue;
    waiting_.push_back(Waiting{peer, ntohs(from.sin_port), std::move(data)});
    if (terminal_mac_) break;
  }
  if (waiting_.empty()) return std::nullopt;
  if (!terminal_mac_) {
    auto now = std::chrono::steady_clock::now();
    if (now - last_arp_ < std::chrono::milliseconds(100)) return std::nullopt;
    last_arp_ = now;
    return arp_request(inner_peer(waiting_.front().peer), terminal_ip_.data());
  }
  Waiting w = std::move(waiting_.front());
  waiting_.pop_front();
  return wrap_datagram(inner_peer(w.peer), w.port, terminal_mac_->data(), terminal_ip_.data(), ip_id_++,
                       w.payload);
}

bool Bridge::transmit(const Bytes& frame) {
  if (auto mac = arp_reply_from(frame, terminal_ip_.data())) {
    terminal_mac_ = *mac;
    return true;
  }
  std::optional<Outgoing> out = unwrap_datagram(frame);
  if (!out) return false;
  uint32_t ip = (out->dst_ip[0] << 24) | (out->dst_ip[1] << 16) | (out->dst_ip[2] << 8) | out->dst_ip[3];
  auto it = by_inner_.find(ip);
  if (it == by_inner_.end()) return false;  // no host socket behind that address
  if ((ntohl(it->second.sin_addr.s_addr) >> 24) != 127) return false;  // loopback only
  link_->send(it->second, out->payload.data(), out->payload.size());
  return true;
}

}  // namespace simrun
