// The transport interface under the protocol core: one command packet out, one
// command packet in. Two implementations: UDP datagrams (udp_transport.cpp) and
// serial frames on a tty (serial_transport.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vordlix {

class Transport {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~Transport() = default;
  // The time the protocol core measures its waits and limits in. Time passes in
  // Receive; a scripted transport may keep a clock of its own.
  virtual Clock::time_point Now() const { return Clock::now(); }
  // Sends one packet; false on an I/O error.
  virtual bool Send(const uint8_t* packet, std::size_t n) = 0;
  // Waits up to timeout_ms for one packet (the UDP transport: one from the
  // terminal's address and port; others are dropped). Returns 1 with *packet
  // filled, 0 on time-out, -1 on an I/O error.
  virtual int Receive(std::vector<uint8_t>* packet, int timeout_ms) = 0;
  // The largest packet data (behind the 8-byte header) that one packet may carry.
  virtual std::size_t MaxData() const = 0;
  // How long to wait for the reply to a packet of n bytes before sending it again.
  virtual int ResendIntervalMs(std::size_t n) const = 0;
  // Discards whatever has arrived and not been read.
  virtual void Flush() = 0;
  // Bytes sent and received on the wire so far, framing included (as far as the
  // host sees it: UDP payloads, serial frames).
  uint64_t bytes_sent = 0;
  uint64_t bytes_received = 0;
};

// UDP toward address:port (after VORDLIX_NET_MAP). nullptr on failure, with a reason.
std::unique_ptr<Transport> OpenUdp(const std::string& address, int port, std::string* error);
// The serial line: "COMn" (VORDLIX_COMn or /dev/ttyS<n-1>) or a path, at baud.
std::unique_ptr<Transport> OpenSerial(const std::string& address, int baud, std::string* error);

// Exposed for tests: the redirect of VORDLIX_NET_MAP's text for address:port.
// Entries "ADDRESS=HOST:PORT", "ADDRESS:PORT=HOST:PORT" or "...=HOST", comma-separated.
// Returns true and sets host/port when an entry applies.
bool MapAddress(const std::string& map, const std::string& address, int port, std::string* host,
                int* mapped_port);
// Exposed for tests: the device path of a serial address, or "" when it names none.
std::string SerialDevicePath(const std::string& address);
// Exposed for tests: whether a baud rate is supported.
bool SerialBaudSupported(int baud);

}  // namespace vordlix
