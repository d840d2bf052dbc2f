// The Ethernet, ARP, IPv4, ICMP and UDP layouts the terminal and the simulator
// speak: field offsets inside each header, and the few constants they use.
// Multi-byte fields are big-endian on the wire (wire/bytes.h: get_be16, put_be16).
#pragma once
#include <stdint.h>

#include "wire/bytes.h"

namespace wire {

namespace eth {
constexpr uint32_t kDst = 0;
constexpr uint32_t kSrc = 6;
constexpr uint32_t kType = 12;
constexpr uint32_t kHeaderSize = 14;
constexpr uint32_t kMinFrame = 60;  // without the frame check sequence
constexpr uint32_t kTypeIpv4 = 0x0800;
constexpr uint32_t kTypeArp = 0x0806;
inline uint32_t type(const uint8_t* f) { return get_be16(f + kType); }
inline bool group_address(const uint8_t* mac) { return mac[0] & 1; }
}  // namespace eth

namespace arp {  // offsets inside the ARP packet (behind the Ethernet header)
constexpr uint32_t kHardwareType = 0;  // 1: Ethernet
constexpr uint32_t kProtocolType = 2;  // 0x0800
constexpr uint32_t kHardwareLen = 4;   // 6
constexpr uint32_t kProtocolLen = 5;   // 4
constexpr uint32_t kOperation = 6;     // 1 request, 2 reply
constexpr uint32_t kSenderMac = 8;
constexpr uint32_t kSenderIp = 14;
constexpr uint32_t kTargetMac = 18;
constexpr uint32_t kTargetIp = 24;
constexpr uint32_t kSize = 28;
constexpr uint32_t kRequest = 1;
constexpr uint32_t kReply = 2;
}  // namespace arp

namespace ipv4 {
constexpr uint32_t kVersionIhl = 0;
constexpr uint32_t kTotalLength = 2;
constexpr uint32_t kId = 4;
constexpr uint32_t kFlagsFragment = 6;  // 0x4000: don't fragment; low 13 bits: offset
constexpr uint32_t kTtl = 8;
constexpr uint32_t kProtocol = 9;
constexpr uint32_t kChecksum = 10;
constexpr uint32_t kSrc = 12;
constexpr uint32_t kDst = 16;
constexpr uint32_t kHeaderSize = 20;  // without options
constexpr uint32_t kDontFragment = 0x4000;
constexpr uint32_t kProtoIcmp = 1;
constexpr uint32_t kProtoUdp = 17;
inline uint32_t version(const uint8_t* ip) { return ip[kVersionIhl] >> 4; }
inline uint32_t header_len(const uint8_t* ip) { return (ip[kVersionIhl] & 15) * 4u; }
inline uint32_t total_len(const uint8_t* ip) { return get_be16(ip + kTotalLength); }
}  // namespace ipv4

namespace icmp {
constexpr uint32_t kType = 0;
constexpr uint32_t kChecksum = 2;
constexpr uint32_t kHeaderSize = 8;
constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kEchoRequest = 8;
}  // namespace icmp

namespace udp {
constexpr uint32_t kSrcPort = 0;
constexpr uint32_t kDstPort = 2;
constexpr uint32_t kLength = 4;
constexpr uint32_t kChecksum = 6;
constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kCommandPort = 4370;  // the terminal's command packets
}  // namespace udp

// Where the layers of an Ethernet/IPv4/UDP frame without IP options begin.
constexpr uint32_t kIpOffset = eth::kHeaderSize;
constexpr uint32_t kUdpOffset = kIpOffset + ipv4::kHeaderSize;
constexpr uint32_t kUdpPayloadOffset = kUdpOffset + udp::kHeaderSize;  // 42

}  // namespace wire
