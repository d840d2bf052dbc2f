// The loader's data: one initialised block (64 bytes, placed at 0xA0100000 on the
// target) and one zero-initialised block right after it. Nothing else in the
// loader is a mutable global: keep all state here so that a restart (the runtime
// start re-copies and re-zeroes both) forgets everything, on target and host.
#pragma once
#include <stdint.h>
#include "bootloader/runtime/heap.h"

namespace bl {

// One port operation table: the six routines of a UART port, in this order.
struct PortOps {
  int32_t (*open)(int32_t baud);
  int32_t (*read_byte)();
  int32_t (*write_byte)(int32_t byte);
  int32_t (*rx_status)();  // -1 line error, 1 byte waiting, 0 nothing
  int32_t (*drain)();
  int32_t (*wait_tx)();
};

struct LoaderData {
  PortOps command_port;  // FFUART
  PortOps panel_port;    // BTUART
  uint8_t mac[6];
  uint8_t ip[4];         // 192.168.1.201
  uint8_t broadcast[4];  // 255.255.255.255
  uint8_t zero[2];
};

struct FlashGeometry;
struct ConnRecord;

struct ConnTable {
  uint32_t count;
  uint32_t capacity;
  ConnRecord* records;
};

struct LoaderState {
  uint32_t net_present;
  FlashGeometry* geometry;
  uint16_t ip_id;
  uint8_t* frame[3];  // receive buffer, two transmit buffers (2,052 bytes each)
  ConnTable conns;
  HeapState heap;
};

extern LoaderData g_data;    // defined with its initial values in loader_data.cpp
extern LoaderState g_state;  // zero-initialised

}  // namespace bl
