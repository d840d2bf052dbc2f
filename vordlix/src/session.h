// The protocol core: one connection to one terminal over a Transport. Builds and
// checks command packets, numbers requests, resends until a matching reply or the
// time limit, hands blocks over in 1500/1501 chunks and collects memory reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "vordlix/src/transport.h"

namespace vordlix {

class Session {
 public:
  using Clock = Transport::Clock;

  Session(std::unique_ptr<Transport> transport, int32_t device_id);

  // Connect (command 1000); true once the terminal answered with a connection id.
  bool Connect(int timeout_ms);
  // One request. On return *reply holds the reply code (0xFFFF on failure) and the
  // reply's data is in buffer (size bytes). Result: VORDLIX_OK or VORDLIX_E_*.
  int32_t Command(uint16_t* reply, uint8_t* buffer, std::size_t size, const uint8_t* request,
                  std::size_t request_length, int timeout_ms);
  // 1500 with the length, 1501 chunks, then *reply's command with params as data.
  int32_t CommandData(uint16_t* reply, const uint8_t* data, std::size_t length, const uint8_t* params,
                      std::size_t params_length, int timeout_ms);
  // Disconnect (command 1001); no reply is expected.
  void Disconnect();

  uint16_t connection() const { return connection_; }
  int32_t device_id() const { return device_id_; }
  Transport& transport() { return *transport_; }
  std::mutex& mutex() { return mutex_; }

 private:
  struct Answer {
    uint16_t code = 0;
    std::vector<uint8_t> data;
  };
  // Sends one request with a new sequence number and waits for its reply.
  // read_cap: the most bytes a memory read (111) may collect; not_before: the
  // earliest time of the first send.
  int32_t Exchange(uint16_t command, const uint8_t* data, std::size_t n, Clock::time_point deadline,
                   Answer* out, std::size_t read_cap = 0, Clock::time_point not_before = {});
  uint16_t NextSequence();

  std::unique_ptr<Transport> transport_;
  int32_t device_id_;
  uint16_t connection_ = 0;
  uint16_t last_sequence_ = 0;
  std::mutex mutex_;
};

}  // namespace vordlix
