// The two UARTs. The command port (FFUART) carries command packets in serial
// frames; the panel port (BTUART) only sends panel frames. Everything is polled.
#include "bootloader/serial/serial.h"

#include "bootloader/hw/hw.h"
#include "bootloader/loader_state.h"
#include "bootloader/net/net.h"
#include "bootloader/pause.h"
#include "bootloader/protocol/protocol.h"
#include "bootloader/runtime/mem.h"
#include "bootloader/serial/ports.h"
#include "wire/serial_frame.h"

namespace bl {

const uint8_t kSerialPeer[10] = {0x01};

namespace {

constexpr uint32_t kFfuart = 0x40100000u;
constexpr uint32_t kBtuart = 0x40200000u;
// Register offsets inside a UART.
enum : uint32_t { RBR = 0x00, THR = 0x00, DLL = 0x00, IER = 0x04, DLH = 0x04,
                  FCR = 0x08, LCR = 0x0C, MCR = 0x10, LSR = 0x14 };
constexpr uint32_t kGpdr1 = 0x40E00010u;
constexpr uint32_t kGafr1L = 0x40E0005Cu;
constexpr uint32_t kCken = 0x41300004u;

constexpr uint32_t kFrameMax = 2048;   // frame bytes in a frame buffer
constexpr uint32_t kMaxPayload = wire::frame::kMaxPayload;
constexpr uint32_t kSilenceMs = 20;

struct UartSetup {
  uint32_t base;
  uint32_t gpdr_set, gpdr_clear;
  uint32_t gafr_set, gafr_clear;
  uint32_t cken;
  uint32_t fcr;
  uint32_t write_polls;
  bool wait_after_open;
};

constexpr UartSetup kCommand = {kFfuart, 1u << 7, 1u << 2, 0x8010, 0x4020, 1u << 6,
                                0xC1, 100001, false};
constexpr UartSetup kPanel = {kBtuart, 1u << 11, (1u << 4) | (1u << 7) | (1u << 8),
                              0x900000, 0x600000, 1u << 7, 0x01, 10001, true};

void set_clear(uint32_t addr, uint32_t set, uint32_t clear) {
  hw::write32(addr, (hw::read32(addr) | set) & ~clear);
}

int32_t uart_wait_tx(uint32_t base) {
  while (!(hw::read32(base + LSR) & 0x20)) {
  }
  return 0;
}

int32_t uart_open(const UartSetup& u, int32_t baud) {
  set_clear(kGpdr1, u.gpdr_set, u.gpdr_clear);
  set_clear(kGafr1L, u.gafr_set, u.gafr_clear);
  set_clear(kCken, u.cken, 0);
  hw::write32(u.base + LCR, 3);  // 8 data bits, no parity, 1 stop bit
  hw::write32(u.base + MCR, 3);
  hw::write32(u.base + FCR, u.fcr);
  hw::write32(u.base + IER, 0x40);  // unit enable, no interrupts
  // 14.7456 MHz / (16 × baud); a non-positive rate leaves the divisor at 0.
  uint32_t div = baud > 0 ? 921600u / static_cast<uint32_t>(baud) : 0;
  uint32_t lcr = hw::read32(u.base + LCR);
  hw::write32(u.base + LCR, lcr | 0x80);
  hw::write32(u.base + DLL, div & 0xFF);
  hw::write32(u.base + DLH, (div >> 8) & 0xFF);
  hw::write32(u.base + LCR, lcr & ~0x80u);
  if (u.wait_after_open) uart_wait_tx(u.base);
  return 0;
}

int32_t uart_read(uint32_t base) { return hw::read32(base + RBR) & 0xFF; }

int32_t uart_write(const UartSetup& u, int32_t byte) {
  for (uint32_t i = 0; i < u.write_polls; ++i) {
    if (hw::read32(u.base + LSR) & 0x20) {
      hw::write32(u.base + THR, static_cast<uint32_t>(byte) & 0xFF);
      return 0;
    }
  }
  return 0;  // no room in time: the byte is lost
}

int32_t uart_status(uint32_t base) {
  uint32_t lsr = hw::read32(base + LSR);
  if (lsr & 0x1C) return -1;  // parity, framing or break
  return (lsr & 1) ? 1 : 0;
}

int32_t uart_drain(uint32_t base) {
  for (;;) {
    int32_t s = uart_status(base);
    if (s < 0) return -1;
    if (s == 0) return 0;
    uart_read(base);
  }
}

void put_le16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace

int32_t cmd_open(int32_t baud) { return uart_open(kCommand, baud); }
int32_t cmd_read_byte() { return uart_read(kFfuart); }
int32_t cmd_write_byte(int32_t byte) { return uart_write(kCommand, byte); }
int32_t cmd_rx_status() { return uart_status(kFfuart); }
int32_t cmd_drain() { return uart_drain(kFfuart); }
int32_t cmd_wait_tx() { return uart_wait_tx(kFfuart); }

int32_t panel_open(int32_t baud) { return uart_open(kPanel, baud); }
int32_t panel_read_byte() { return uart_read(kBtuart); }
int32_t panel_write_byte(int32_t byte) { return uart_write(kPanel, byte); }
int32_t panel_rx_status() { return uart_status(kBtuart); }
int32_t panel_drain() { return uart_drain(kBtuart); }
int32_t panel_wait_tx() { return uart_wait_tx(kBtuart); }

void serve_command_port() {
  const PortOps& port = g_data.command_port;
  if (port.rx_status() == 0) return;  // a line error counts as something waiting
  uint8_t* buf = frame_rx();
  if (!buf) {
    port.drain();
    return;
  }
  uint8_t* f = buf + 4;
  uint32_t len = 0;
  for (uint32_t i = 0;; ++i) {
    for (uint32_t quiet = 0; port.rx_status() == 0;) {
      pause_ms(1);
      if (++quiet == kSilenceMs) return;  // silence inside a frame: abandon it
    }
    uint8_t b = static_cast<uint8_t>(port.read_byte());
    // Only a frame announcing L = 0 runs past the buffer (it never completes);
    // its further bytes are consumed until the silence rule ends it.
    if (i < kFrameMax) f[i] = b;
    wire::frame::Status st = wire::frame::status(f, i < kFrameMax ? i + 1 : kFrameMax);
    if (st == wire::frame::Status::Bad) {  // marker or length wrong
      port.drain();
      return;
    }
    if (st == wire::frame::Status::Complete) break;
  }
  len = wire::get_le16(f + wire::frame::kLength);
  uint32_t sum = wire::get_le16(f + wire::frame::kChecksum);
  put_le16(f + wire::frame::kChecksum, 0);
  if (checksum(f, len + 8) != sum) return;  // the bytes still coming start the next frame
  uint8_t* p = f + 8;
  // The handler reads request data at fixed offsets and builds replies of up to
  // kPacketRoom bytes here: what lies behind a short packet reads as zeros, never
  // as bytes of an earlier frame.
  if (len < kPacketRoom) memset(p + len, 0, kPacketRoom - len);
  int32_t r = handle_packet(p, static_cast<int32_t>(len));
  if (r == 0) return;
  if (r == 1000) complete_connect(p, static_cast<int32_t>(len), kSerialPeer, serial_send, 115200);
  if (r == 1004) hw::restart();
  port.drain();
}

void serial_send(const uint8_t* packet, uint32_t length, const uint8_t*) {
  if (length > kMaxPayload) return;
  uint8_t* buf = frame_tx();
  if (!buf) return;
  uint8_t* f = buf + 4;
  memmove(f + wire::frame::kHeaderSize, packet, length);
  uint32_t n = wire::frame::seal(f, length);
  const PortOps& port = g_data.command_port;
  for (uint32_t i = 0; i < n; ++i) port.write_byte(f[i]);
  memset(buf, 0, 4);  // the buffer is free again
}

void send_panel_frame(uint8_t command, const uint8_t* data, uint32_t length,
                      uint32_t pause) {
  uint8_t f[38];
  uint32_t n = length <= 22 ? 22 : 38;
  uint32_t placed = length < n - 5 ? length : n - 5;
  memset(f, 0, sizeof f);
  f[0] = 0x53;
  f[1] = 0x53;
  f[2] = command;
  f[3] = static_cast<uint8_t>(0xFF - command);
  uint8_t sum = 0;
  for (uint32_t i = 0; i < placed; ++i) {
    f[4 + i] = data[i];
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  f[n - 1] = sum;
  for (uint32_t i = 0; i < n; ++i) g_data.panel_port.write_byte(f[i]);
  pause_ms(pause);
}

}  // namespace bl
