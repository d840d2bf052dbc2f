#include "sim/runner/firmware_host.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>

#include "wire/serial_frame.h"

namespace simrun {

namespace fr = wire::frame;

void FrameSplitter::feed(const uint8_t* bytes, size_t n) {
  // A line that floods without frames keeps at most one frame's worth.
  buf_.insert(buf_.end(), bytes, bytes + n);
  constexpr size_t kMax = 4 * (fr::kHeaderSize + fr::kMaxPayload);
  if (buf_.size() > kMax) buf_.erase(buf_.begin(), buf_.end() - kMax);
}

bool FrameSplitter::next(std::vector<uint8_t>* payload) {
  for (;;) {
    if (buf_.empty()) return false;
    fr::Status s = fr::status(buf_.data(), static_cast<uint32_t>(buf_.size()));
    if (s == fr::Status::More) return false;
    if (s == fr::Status::Complete && fr::checksum_ok(buf_.data())) {
      const size_t len = wire::get_le16(buf_.data() + fr::kLength);
      payload->assign(buf_.begin() + fr::kHeaderSize, buf_.begin() + fr::kHeaderSize + len);
      buf_.erase(buf_.begin(), buf_.begin() + fr::kHeaderSize + len);
      return true;
    }
    buf_.erase(buf_.begin());
  }
}

void FrameSplitter::silence() {
  if (!buf_.empty()) buf_.erase(buf_.begin());
}

std::vector<uint8_t> seal_frame(const std::vector<uint8_t>& packet) {
  std::vector<uint8_t> f(fr::kHeaderSize + packet.size());
  std::copy(packet.begin(), packet.end(), f.begin() + fr::kHeaderSize);
  fr::seal(f.data(), static_cast<uint32_t>(packet.size()));
  return f;
}

void FirmwareHost::send(const std::vector<uint8_t>& packet, const sockaddr_in* to) {
  if (to) {
    udp_.send(*to, packet.data(), packet.size());
    return;
  }
  if (packet.size() > fr::kMaxPayload) return;  // no frame carries it
  for (uint8_t b : seal_frame(packet)) pty_.write(b);
  pty_.flush();
}

void FirmwareHost::handle(const sim::terminal::PeerKey& key, const std::vector<uint8_t>& packet,
                          const sockaddr_in* to) {
  sim::terminal::ServerCore::Outcome out = core_.Handle(key, packet.data(), packet.size());
  for (const auto& p : out.stream) send(p, to);
  if (!out.reply.empty()) send(out.reply, to);
  if (out.verdict == sim::terminal::ServerCore::Verdict::kExecute && on_request_) on_request_();
  if (out.after) out.after();
}

FirmwareHost::End FirmwareHost::serve(volatile sig_atomic_t* stop) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point last_byte = Clock::now();
  while (!restart_) {
    if (*stop) return End::Stop;
    int wait = udp_.pump();
    sockaddr_in from{};
    std::vector<uint8_t> data;
    while (!restart_ && udp_.receive(&from, &data)) {
      char host[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &from.sin_addr, host, sizeof host);
      handle("udp:" + std::string(host) + ":" + std::to_string(ntohs(from.sin_port)), data, &from);
    }
    uint8_t buf[4096];
    size_t n;
    while (!restart_ && (n = pty_.read(buf, sizeof buf)) > 0) {
      last_byte = Clock::now();
      frames_.feed(buf, n);
      std::vector<uint8_t> payload;
      while (!restart_ && frames_.next(&payload)) handle("serial", payload, nullptr);
    }
    if (frames_.pending() && Clock::now() - last_byte > std::chrono::milliseconds(FrameSplitter::kSilenceMs)) {
      frames_.silence();
      std::vector<uint8_t> payload;
      while (!restart_ && frames_.next(&payload)) handle("serial", payload, nullptr);
      last_byte = Clock::now();
    }
    pty_.flush();
    if (restart_) break;
    int timeout = frames_.pending() ? 5 : 100;
    if (wait >= 0) timeout = std::min(timeout, wait);
    pollfd p[2] = {{udp_.fd(), POLLIN, 0}, {pty_.fd(), POLLIN, 0}};
    if (pty_.pending_output()) p[1].events |= POLLOUT;
    poll(p, 2, timeout);
  }
  // The restart's reply may still wait out its delay: the bridge's pump sends it later.
  pty_.flush();
  return End::Restart;
}

}  // namespace simrun
