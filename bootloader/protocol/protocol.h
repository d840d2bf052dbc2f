// The command-packet protocol: packet handler, connection table, commands.
#pragma once
#include <stdint.h>

#include "wire/checksum.h"

namespace bl {

constexpr uint32_t kPeerAddrLen = 10;
constexpr uint32_t kLastReplyMax = 1032;

// Send routine of a transport: one packet to one peer.
using SendFn = void (*)(const uint8_t* packet, uint32_t length, const uint8_t* peer);

struct ConnRecord {
  uint32_t id;
  uint32_t last_seq;
  uint32_t last_reply_len;
  uint8_t last_reply[kLastReplyMax];
  uint8_t* transfer;
  int32_t received;
  int32_t announced;
  int32_t pacing_rate;
  SendFn send;
  uint8_t peer[kPeerAddrLen];
};

// The packet checksum (also used for serial frames and the IPv4/ICMP checksums).
using wire::checksum;

// Handles one command packet in place (the reply is built in its bytes).
// Returns 0 (nothing more to do), 1000 (connect: the transport calls
// complete_connect), 1004 (reply sent: the transport restarts the loader), or
// the handled command number. p must have room for at least kPacketRoom bytes:
// replies can be longer than the request (1100, 111).
constexpr uint32_t kPacketRoom = 8 + 1024;
int32_t handle_packet(uint8_t* p, int32_t n);

// Connect completion, done by the transport when handle_packet returned 1000.
void complete_connect(uint8_t* p, int32_t n, const uint8_t* peer, SendFn send,
                      int32_t pacing_rate);

ConnRecord* find_or_create(const uint8_t* peer);  // null when the table cannot grow

}  // namespace bl
