// The routines of the two port operation tables (FFUART: command port, BTUART:
// panel port). Only the tables in loader_data.cpp name them; everything else
// calls them through g_data.
#pragma once
#include <stdint.h>

namespace bl {

int32_t cmd_open(int32_t baud);
int32_t cmd_read_byte();
int32_t cmd_write_byte(int32_t byte);
int32_t cmd_rx_status();
int32_t cmd_drain();
int32_t cmd_wait_tx();

int32_t panel_open(int32_t baud);
int32_t panel_read_byte();
int32_t panel_write_byte(int32_t byte);
int32_t panel_rx_status();
int32_t panel_drain();
int32_t panel_wait_tx();

// Identity of the command port in its connection record. Its first byte has the
// Ethernet group bit set: no station sends from such an address, and the network
// drops frames that claim one, so no MAC+IPv4 peer address can equal it.
extern const uint8_t kSerialPeer[10];

}  // namespace bl
