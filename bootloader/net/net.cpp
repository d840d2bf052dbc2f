// The network interface: a polled DM9000 driver and a minimal IPv4 stack (ARP
// replies, ICMP echo, UDP port 4370 for command packets). Replies are built in a
// transmit buffer and addressed to the request's MAC and IPv4 source.
//
// Every length taken from a header is checked against the bytes actually
// received, so no reply ever carries bytes of an earlier frame.
#include "bootloader/net/net.h"

#include "bootloader/hw/hw.h"
#include "bootloader/loader_state.h"
#include "bootloader/pause.h"
#include "bootloader/protocol/protocol.h"
#include "bootloader/runtime/heap.h"
#include "bootloader/runtime/mem.h"
#include "wire/net.h"

namespace bl {
namespace {

constexpr uint32_t kDmIndex = 0x0C000000u;
constexpr uint32_t kDmData = 0x0C000004u;
enum : uint32_t { NCR = 0x00, TCR = 0x02, RCR = 0x05, PAR = 0x10, MAR = 0x16,
                  GPCR = 0x1E, GPR = 0x1F, MRCMDX = 0xF0, MRCMD = 0xF2,
                  MWCMD = 0xF8, TXPLL = 0xFC, TXPLH = 0xFD, ISR = 0xFE, IMR = 0xFF };

constexpr uint32_t kGpdr1 = 0x40E00010u;
constexpr uint32_t kGpsr1 = 0x40E0001Cu;
constexpr uint32_t kGpcr1 = 0x40E00028u;
constexpr uint32_t kGpio62 = 1u << 30;  // controller reset line

constexpr uint32_t kFrameMax = 2048;
constexpr uint32_t kMaxRxLength = 1536;
constexpr uint32_t kTcrReads = 10002;
constexpr uint16_t kPort = wire::udp::kCommandPort;
constexpr uint8_t kTtl = 80;
constexpr int32_t kNetPacing = 104857600;

void dm_write(uint32_t reg, uint32_t v) {
  hw::write32(kDmIndex, reg);
  hw::write32(kDmData, v);
}

uint32_t dm_read(uint32_t reg) {
  hw::write32(kDmIndex, reg);
  return hw::read32(kDmData);
}

// Polls the transmit request until the controller clears it.
bool tx_idle() {
  hw::write32(kDmIndex, TCR);
  for (uint32_t i = 0; i < kTcrReads; ++i)
    if (!(hw::read32(kDmData) & 1)) return true;
  return false;
}

using wire::put_be16;
using wire::put_le16;
inline uint32_t be16(const uint8_t* p) { return wire::get_be16(p); }
namespace eth = wire::eth;
namespace arpf = wire::arp;
namespace ipf = wire::ipv4;
namespace udpf = wire::udp;

uint32_t buf_len(const uint8_t* b) { return *reinterpret_cast<const uint32_t*>(b); }
void set_len(uint8_t* b, uint32_t n) { *reinterpret_cast<uint32_t*>(b) = n; }

uint8_t* frame_buf(int i) {
  uint8_t*& b = g_state.frame[i];
  if (!b) {
    b = static_cast<uint8_t*>(heap_alloc(kFrameBufSize));
    if (b) memset(b, 0, kFrameBufSize);
  }
  return b;
}

// Frame bytes move to and from the controller as little-endian words; a frame
// starts 4 bytes into its buffer, whose heap block is word-aligned, so word accesses
// are aligned (and the loader runs little-endian on both builds).

// Sends the buffer's frame and frees the buffer.
void send_frame(uint8_t* buf) {
  uint32_t n = buf_len(buf);
  uint8_t* f = buf + 4;
  if (n > kFrameMax) n = kFrameMax;
  if (n < 60) {  // pad to the Ethernet minimum with zeros, not with old bytes
    memset(f + n, 0, 60 - n);
    n = 60;
  }
  hw::write32(kDmIndex, MWCMD);
  for (uint32_t i = 0; i < n; i += 4) hw::write32(kDmData, *reinterpret_cast<const uint32_t*>(f + i));
  dm_write(TXPLL, n & 0xFF);
  dm_write(TXPLH, (n >> 8) & 0xFF);
  dm_write(TCR, 1);
  tx_idle();  // a time-out abandons the frame
  set_len(buf, 0);
}

// Ethernet header of a reply: to dst, from our MAC.
uint8_t* start_frame(const uint8_t* dst) {
  uint8_t* buf = frame_tx();
  if (!buf) return nullptr;
  uint8_t* o = buf + 4;
  memcpy(o, dst, 6);
  memcpy(o + 6, g_data.mac, 6);
  return o;
}

void finish_frame(uint8_t* o, uint32_t n) {
  uint8_t* buf = o - 4;
  set_len(buf, n);
  send_frame(buf);
}

void ip_checksum(uint8_t* ip) {
  put_le16(ip + ipf::kChecksum, 0);
  put_le16(ip + ipf::kChecksum, checksum(ip, ipf::kHeaderSize));
}

void arp(const uint8_t* f) {
  const uint8_t* a = f + eth::kHeaderSize;
  if (be16(a + arpf::kHardwareType) != 1 || be16(a + arpf::kProtocolType) != eth::kTypeIpv4 ||
      a[arpf::kHardwareLen] != 6 || a[arpf::kProtocolLen] != 4 ||
      be16(a + arpf::kOperation) != arpf::kRequest)
    return;
  uint8_t* o = start_frame(f + eth::kSrc);
  if (!o) return;
  uint8_t* r = o + eth::kHeaderSize;
  memcpy(o + eth::kType, f + eth::kType, 8);  // EtherType and the first four ARP fields
  put_be16(r + arpf::kOperation, arpf::kReply);
  memcpy(r + arpf::kSenderMac, g_data.mac, 6);
  memcpy(r + arpf::kSenderIp, g_data.ip, 4);
  memcpy(r + arpf::kTargetMac, a + arpf::kSenderMac, 10);  // the requester's addresses
  finish_frame(o, eth::kHeaderSize + arpf::kSize);
}

void icmp(const uint8_t* f, const uint8_t* ip, uint32_t hl, uint32_t total, uint32_t avail) {
  uint32_t len = total - hl;
  if (len < 8) len = 8;
  if (hl + len > avail) return;
  const uint8_t* m = ip + hl;
  if (m[0] != 8) return;
  uint8_t* o = start_frame(f + 6);
  if (!o) return;
  put_be16(o + eth::kType, eth::kTypeIpv4);
  uint8_t* rip = o + eth::kHeaderSize;
  uint8_t* rm = rip + 20;
  memcpy(rm, m, len);
  rm[0] = 0;
  put_le16(rm + 2, 0);
  put_le16(rm + 2, checksum(rm, len));
  memcpy(rip, ip, 12);  // version, TOS, identification, flags as received
  rip[0] = 0x45;        // options are not echoed
  put_be16(rip + 2, len + 20);
  rip[8] = kTtl;
  memcpy(rip + 12, ip + 16, 4);
  memcpy(rip + 16, ip + 12, 4);
  ip_checksum(rip);
  finish_frame(o, len + 34);
}

void udp(const uint8_t* f, uint8_t* ip, uint32_t hl, uint32_t total) {
  uint8_t* u = ip + hl;
  uint32_t ulen = be16(u + 4);
  if (ulen < 8 || ulen > total - hl) return;  // claims more than the datagram holds
  uint8_t* p = u + 8;
  uint32_t n = ulen - 8;
  uint8_t peer[kPeerAddrLen];
  memcpy(peer, f + 6, 6);
  memcpy(peer + 6, ip + 12, 4);
  // The handler reads request data at fixed offsets and builds replies of up to
  // kPacketRoom bytes in place: behind a short packet it finds zeros, never bytes
  // of an earlier frame. (p lies at most 82 bytes into the frame, so the room
  // stays inside the 2,048-byte buffer.)
  if (n < kPacketRoom) memset(p + n, 0, kPacketRoom - n);
  int32_t r = handle_packet(p, static_cast<int32_t>(n));
  if (r == 1000) complete_connect(p, static_cast<int32_t>(n), peer, udp_send, kNetPacing);
  if (r == 1004) hw::restart();
}

void ipv4(uint8_t* f, uint32_t n) {
  if (n < 34) return;
  uint8_t* ip = f + eth::kHeaderSize;
  uint32_t avail = n - 14;
  if ((ip[0] >> 4) != 4) return;
  uint32_t hl = (ip[0] & 15) * 4u;
  if (hl < 20 || hl > avail) return;
  uint32_t sum = checksum(ip, hl);
  put_le16(ip + 10, sum);
  if (sum != 0) return;
  uint32_t total = be16(ip + 2);
  if (total < hl || total > avail) return;  // longer than what was received
  if (be16(ip + 6) & 0x1FFF) return;          // not a first fragment
  if (memcmp(ip + ipf::kDst, g_data.ip, 4) != 0 && memcmp(ip + ipf::kDst, g_data.broadcast, 4) != 0)
    return;
  if (ip[ipf::kProtocol] == ipf::kProtoIcmp) {
    icmp(f, ip, hl, total, avail);
  } else if (ip[ipf::kProtocol] == ipf::kProtoUdp && total >= hl + udpf::kHeaderSize &&
             be16(ip + hl + udpf::kDstPort) == kPort) {
    udp(f, ip, hl, total);
  }
}

void dispatch(uint8_t* f, uint32_t n) {
  // A group source address is no station's; ignoring such frames also keeps every
  // network peer address apart from the command port's (serial/ports.h).
  if (eth::group_address(f + eth::kSrc)) return;
  uint32_t type = eth::type(f);
  if (type == eth::kTypeArp && n >= eth::kHeaderSize + arpf::kSize) arp(f);
  else if (type == eth::kTypeIpv4) ipv4(f, n);
}

}  // namespace

uint8_t* frame_rx() { return frame_buf(0); }

uint8_t* frame_tx() {
  for (int i = 1; i <= 2; ++i) {
    uint8_t* b = frame_buf(i);
    if (b && buf_len(b) == 0) return b;
  }
  return nullptr;
}

bool net_address_check() {
  for (uint32_t i = 0; i < 6; ++i)
    if ((dm_read(PAR + i) & 0xFF) != g_data.mac[i]) return false;
  return true;
}

int32_t net_start() {
  hw::write32(kGpdr1, hw::read32(kGpdr1) | kGpio62);
  hw::write32(kGpsr1, kGpio62);
  pause_ms(10);
  hw::write32(kGpcr1, kGpio62);
  pause_ms(100);
  dm_write(NCR, 1);
  pause_us(1512);
  dm_write(NCR, 0);
  dm_write(GPCR, 1);
  dm_write(GPR, 0);  // PHY on
  if (!tx_idle()) return 0;
  for (uint32_t attempt = 0; attempt < 100; ++attempt) {
    for (uint32_t i = 0; i < 6; ++i) {
      dm_write(PAR + i, g_data.mac[i]);
      pause_us(100);
    }
    if (net_address_check()) break;
  }
  for (uint32_t i = 0; i < 8; ++i) dm_write(MAR + i, 0xFF);
  dm_write(IMR, 0x80);
  dm_write(RCR, 0x31);
  return 1;
}

void serve_network() {
  hw::write32(kDmIndex, MRCMDX);
  hw::read32(kDmData);
  uint32_t ready = hw::read32(kDmData) & 0xFF;
  if (ready > 1) {  // receive pointer out of step: start the controller afresh
    dm_write(RCR, 0);
    dm_write(ISR, 0x80);
    net_start();
    return;
  }
  if (ready == 0) return;
  hw::write32(kDmIndex, MRCMD);
  uint32_t head = hw::read32(kDmData);
  uint32_t status = head & 0xFFFF;
  uint32_t len = head >> 16;
  if (len > kMaxRxLength) {
    net_start();
    return;
  }
  if (len == 0) return;
  uint8_t* buf = frame_rx();
  bool keep = buf && len >= 64 && !(status & 0xBF00);
  uint8_t* f = keep ? buf + 4 : nullptr;
  for (uint32_t i = 0; i < len; i += 4) {
    uint32_t w = hw::read32(kDmData);
    if (f) *reinterpret_cast<uint32_t*>(f + i) = w;
  }
  if (!f) return;
  set_len(buf, len);
  dispatch(f, len);
}

void udp_send(const uint8_t* packet, uint32_t length, const uint8_t* peer) {
  if (length > kFrameMax - 42) return;
  uint8_t* o = start_frame(peer);
  if (!o) return;
  put_be16(o + eth::kType, eth::kTypeIpv4);
  uint8_t* ip = o + eth::kHeaderSize;
  ip[0] = 0x45;
  ip[1] = 0;
  put_be16(ip + ipf::kTotalLength, length + ipf::kHeaderSize + udpf::kHeaderSize);
  put_be16(ip + ipf::kId, g_state.ip_id++);
  put_be16(ip + ipf::kFlagsFragment, ipf::kDontFragment);
  ip[ipf::kTtl] = kTtl;
  ip[ipf::kProtocol] = ipf::kProtoUdp;
  memcpy(ip + ipf::kSrc, g_data.ip, 4);
  memcpy(ip + ipf::kDst, peer + 6, 4);
  ip_checksum(ip);
  uint8_t* u = ip + ipf::kHeaderSize;
  put_be16(u + udpf::kSrcPort, kPort);
  put_be16(u + udpf::kDstPort, kPort);
  put_be16(u + udpf::kLength, length + udpf::kHeaderSize);
  put_be16(u + udpf::kChecksum, 0);
  memmove(u + udpf::kHeaderSize, packet, length);
  finish_frame(o, length + wire::kUdpPayloadOffset);
}

}  // namespace bl
