// The network interface: DM9000 driver, ARP, ICMP echo, UDP port 4370.
#pragma once
#include <stdint.h>

namespace bl {

constexpr uint32_t kFrameBufSize = 2052;  // u32 length + 2,048 frame bytes

int32_t net_start();           // 1 on success, 0 when TCR never clears
bool net_address_check();      // PAR0..PAR5 read back the MAC address
void serve_network();          // at most one frame, handled completely

// Frame buffers, taken from the heap on first use and kept (null if none can be had).
uint8_t* frame_rx();
uint8_t* frame_tx();           // first transmit buffer whose length is 0

void udp_send(const uint8_t* packet, uint32_t length, const uint8_t* peer);

}  // namespace bl
