#include "sim/runner/link.h"

#include <sys/socket.h>

#include <algorithm>

namespace simrun {

Link::Link(int fd, const Impairment& imp)
    : fd_(fd), imp_(imp), in_rng_(imp.seed * 2 + 1), out_rng_(imp.seed * 2 + 2) {}

bool Link::lose(std::mt19937_64& rng) {
  if (imp_.loss_percent <= 0) return false;
  return std::uniform_real_distribution<double>(0, 100)(rng) < imp_.loss_percent;
}

bool Link::receive(sockaddr_in* from, std::vector<uint8_t>* data) {
  static thread_local uint8_t buf[65536];
  if (!imp_.active()) {
    socklen_t n = sizeof *from;
    ssize_t got = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(from), &n);
    if (got < 0) return false;
    data->assign(buf, buf + got);
    return true;
  }
  // Everything waiting in the socket joins the queue (or is lost) first.
  while (in_.size() < kMaxHeld) {
    sockaddr_in peer{};
    socklen_t n = sizeof peer;
    ssize_t got = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &n);
    if (got < 0) break;
    if (lose(in_rng_)) {
      ++lost_in_;
      continue;
    }
    in_.push_back(Held{Clock::now() + std::chrono::milliseconds(imp_.delay_ms), peer,
                       std::vector<uint8_t>(buf, buf + got)});
  }
  if (in_.empty() || in_.front().due > Clock::now()) return false;
  *from = in_.front().peer;
  *data = std::move(in_.front().data);
  in_.pop_front();
  return true;
}

void Link::send(const sockaddr_in& to, const uint8_t* data, size_t n) {
  if (!imp_.active()) {
    sendto(fd_, data, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return;
  }
  if (lose(out_rng_)) {
    ++lost_out_;
    return;
  }
  if (imp_.delay_ms == 0) {
    sendto(fd_, data, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return;
  }
  if (out_.size() >= kMaxHeld) return;  // a queue nobody drains: the oldest wait, the newest go
  out_.push_back(Held{Clock::now() + std::chrono::milliseconds(imp_.delay_ms), to,
                      std::vector<uint8_t>(data, data + n)});
}

int Link::pump() {
  const Clock::time_point now = Clock::now();
  while (!out_.empty() && out_.front().due <= now) {
    const Held& h = out_.front();
    sendto(fd_, h.data.data(), h.data.size(), 0, reinterpret_cast<const sockaddr*>(&h.peer), sizeof h.peer);
    out_.pop_front();
  }
  Clock::time_point next = Clock::time_point::max();
  if (!out_.empty()) next = out_.front().due;
  if (!in_.empty()) next = std::min(next, in_.front().due);
  if (next == Clock::time_point::max()) return -1;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::max<long long>(0, ms) + 1);
}

}  // namespace simrun
