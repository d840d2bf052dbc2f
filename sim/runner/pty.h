// The command port's pseudo-terminal: the runner holds the master, a client
// (a test, libvordlix) opens the slave as it would a serial port. The runner
// also keeps the slave open itself, so that the line stays up between clients,
// and puts it in raw mode.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace simrun {

class Pty {
 public:
  Pty();  // throws std::runtime_error
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  int fd() const { return master_; }
  const std::string& path() const { return path_; }

  // Non-blocking: up to n bytes the client wrote, 0 if none.
  size_t read(uint8_t* buf, size_t n);
  // Queues bytes for the client; flush() hands over what the line takes now.
  // Beyond kMaxQueued the oldest bytes are lost, as on a line nobody reads.
  void write(uint8_t byte);
  void flush();
  bool pending_output() const { return !out_.empty(); }

 private:
  static constexpr size_t kMaxQueued = 1 << 20;
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::deque<uint8_t> out_;
};

}  // namespace simrun
