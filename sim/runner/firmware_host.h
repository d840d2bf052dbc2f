// The host side of the simulated terminal while its main firmware runs: the
// personality (sim::terminal::MainFirmware behind a ServerCore) answers the
// datagrams on the bridge's socket and the serial frames on the command port's
// pseudo-terminal itself, while the engine stays stopped. It ends when the
// personality restarts the terminal (1004) or the runner is asked to stop.
#pragma once
#include <signal.h>

#include <chrono>
#include <functional>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/runner/link.h"
#include "sim/runner/pty.h"
#include "sim/terminal/server_core.h"

namespace simrun {

// Serial frames out of a byte stream by the rules of wire/serial_frame.h: a bad
// marker, length or checksum drops one byte and the search goes on; a frame that
// stays incomplete through a silence of kSilenceMs is taken for noise the same way.
class FrameSplitter {
 public:
  static constexpr int kSilenceMs = 50;
  void feed(const uint8_t* bytes, size_t n);
  // The next complete frame's payload; false when none is complete.
  bool next(std::vector<uint8_t>* payload);
  // Called when no byte came for kSilenceMs: drops the first byte of a stuck frame.
  void silence();
  size_t pending() const { return buf_.size(); }

 private:
  std::vector<uint8_t> buf_;
};

// A packet in a serial frame, ready for the line.
std::vector<uint8_t> seal_frame(const std::vector<uint8_t>& packet);

class FirmwareHost {
 public:
  enum class End { Restart, Stop };

  FirmwareHost(sim::terminal::ServerCore& core, Link& udp, Pty& pty) : core_(core), udp_(udp), pty_(pty) {}

  // Serves until the personality's restart callback ran (call restart() from
  // it) or *stop is set.
  End serve(volatile sig_atomic_t* stop);
  void restart() { restart_ = true; }
  // Runs after each request the personality executed (the runner reports images written).
  void on_request(std::function<void()> fn) { on_request_ = std::move(fn); }

 private:
  void handle(const sim::terminal::PeerKey& key, const std::vector<uint8_t>& packet, const sockaddr_in* to);
  void send(const std::vector<uint8_t>& packet, const sockaddr_in* to);

  sim::terminal::ServerCore& core_;
  Link& udp_;
  Pty& pty_;
  FrameSplitter frames_;
  bool restart_ = false;
  std::function<void()> on_request_;
};

}  // namespace simrun
