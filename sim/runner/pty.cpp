#include "sim/runner/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace simrun {

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error(std::string("pseudo-terminal: ") + strerror(errno));
  const char* name = ptsname(master_);
  if (!name) throw std::runtime_error(std::string("ptsname: ") + strerror(errno));
  path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) throw std::runtime_error("cannot open " + path_ + ": " + strerror(errno));
  termios t{};
  if (tcgetattr(slave_, &t) == 0) {
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(slave_, TCSANOW, &t);
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

size_t Pty::read(uint8_t* buf, size_t n) {
  ssize_t got = ::read(master_, buf, n);
  return got > 0 ? static_cast<size_t>(got) : 0;
}

void Pty::write(uint8_t byte) {
  if (out_.size() >= kMaxQueued) out_.pop_front();
  out_.push_back(byte);
}

void Pty::flush() {
  uint8_t chunk[4096];
  while (!out_.empty()) {
    size_t n = 0;
    for (auto it = out_.begin(); it != out_.end() && n < sizeof chunk; ++it) chunk[n++] = *it;
    ssize_t put = ::write(master_, chunk, n);
    if (put <= 0) return;  // the line is full (or nobody reads): try again later
    out_.erase(out_.begin(), out_.begin() + put);
  }
}

}  // namespace simrun
