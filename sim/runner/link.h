// The host side of the simulated terminal's Ethernet: one UDP socket, with an
// optional loss rate and delay for the datagrams in each direction (--loss,
// --delay), drawn from a seeded generator so that a run can be repeated
// (--seed). Without them every call goes straight to the socket.
#pragma once
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace simrun {

struct Impairment {
  double loss_percent = 0;  // of the datagrams in each direction, 0 to 100
  uint32_t delay_ms = 0;    // added to each datagram in each direction
  uint64_t seed = 1;
  bool active() const { return loss_percent > 0 || delay_ms > 0; }
};

class Link {
 public:
  Link(int fd, const Impairment& imp);

  // The next datagram for the terminal: received, not lost, its delay passed.
  bool receive(sockaddr_in* from, std::vector<uint8_t>* data);
  // A datagram from the terminal: sent now, held back for the delay, or lost.
  void send(const sockaddr_in& to, const uint8_t* data, size_t n);
  // Sends the held-back datagrams that are due; milliseconds until the next one
  // is due (for a poll timeout), -1 when none waits.
  int pump();

  int fd() const { return fd_; }
  uint64_t lost_in() const { return lost_in_; }
  uint64_t lost_out() const { return lost_out_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Held {
    Clock::time_point due;
    sockaddr_in peer;
    std::vector<uint8_t> data;
  };
  static constexpr size_t kMaxHeld = 4096;
  bool lose(std::mt19937_64& rng);

  int fd_;
  Impairment imp_;
  std::mt19937_64 in_rng_, out_rng_;
  std::deque<Held> in_, out_;
  uint64_t lost_in_ = 0, lost_out_ = 0;
};

}  // namespace simrun
