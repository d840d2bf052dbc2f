#include "vordlix/testpeer/test_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "sim/terminal/server_core.h"
#include "vordlix/src/wire.h"

namespace vordlix::testpeer {

namespace w = vordlix::wire;
namespace term = sim::terminal;

namespace {

struct FaultRule {
  Fault fault;
  uint16_t command;
  int remaining;
  int delay_ms;
};

// The terminal a plain test peer serves: options in memory, a scripted memory.
class PlainTerminal : public term::Terminal {
 public:
  term::OptionStore& Options() override { return options; }
  void ReadMemory(uint32_t address, uint8_t* out, uint32_t n) override {
    for (uint32_t i = 0; i < n; ++i) out[i] = address + i < memory.size() ? memory[address + i] : 0;
  }
  term::OptionStore options;
  std::vector<uint8_t> memory;
};

}  // namespace

struct TestPeer::Impl {
  explicit Impl(std::shared_ptr<term::Terminal> t)
      : plain(t ? nullptr : std::make_shared<PlainTerminal>()),
        terminal(t ? std::move(t) : plain),
        core(*terminal) {}

  bool serial = false;
  int fd = -1;          // UDP socket or pty master
  int slave_fd = -1;    // serial: kept open so the master never sees a hang-up
  int stop_pipe[2] = {-1, -1};
  uint16_t port = 0;
  std::string device;
  std::thread thread;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<Packet> log;
  std::vector<Transfer> transfers;
  std::shared_ptr<PlainTerminal> plain;
  std::shared_ptr<term::Terminal> terminal;
  term::ServerCore core;
  std::map<uint16_t, Reply> table;
  std::function<std::optional<Reply>(const Packet&)> handler;
  std::vector<FaultRule> faults;
  bool silent = false;
  uint64_t bytes_in = 0, bytes_out = 0;
  w::FrameReader reader;

  // Where the current request came from; replies go there (to reply_port of that
  // address when it is set, as a boot loader replies to port 4370).
  sockaddr_in from{};
  std::atomic<uint16_t> reply_port{0};

  ~Impl() {
    if (stop_pipe[1] >= 0) {
      char c = 0;
      (void)::write(stop_pipe[1], &c, 1);
    }
    if (thread.joinable()) thread.join();
    for (int f : {fd, slave_fd, stop_pipe[0], stop_pipe[1]})
      if (f >= 0) ::close(f);
  }

  // Sleeps, but wakes up for a stop.
  void Pause(int ms) {
    pollfd p{stop_pipe[0], POLLIN, 0};
    ::poll(&p, 1, ms);
  }

  void SendRaw(const std::vector<uint8_t>& packet) {
    if (serial) {
      const std::vector<uint8_t> frame = w::BuildFrame(packet.data(), packet.size());
      std::size_t off = 0;
      while (off < frame.size()) {
        ssize_t n = ::write(fd, frame.data() + off, frame.size() - off);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
          }
          return;
        }
        off += static_cast<std::size_t>(n);
      }
      bytes_out += frame.size();
    } else {
      sockaddr_in to = from;
      if (const uint16_t port = reply_port) to.sin_port = htons(port);
      if (::sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0)
        bytes_out += packet.size();
    }
  }

  std::string SourceKey() const {
    if (serial) return "line";
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
  }

  // The fault due for this executed request, if any (counts down every matching rule).
  std::optional<FaultRule> TakeFault(uint16_t command) {
    std::optional<FaultRule> due;
    for (auto it = faults.begin(); it != faults.end();) {
      const bool match = it->fault == Fault::kDropChunk
                             ? command == w::kCmdMemoryRead
                             : (it->command == kAnyCommand || it->command == command);
      if (match && it->remaining > 1) {
        --it->remaining;
      } else if (match && !due) {
        due = *it;
        it = faults.erase(it);
        continue;
      }
      ++it;  // a second rule due now fires with the next request
    }
    return due;
  }

  // Sends a reply, applying a fault.
  void Deliver(const std::vector<uint8_t>& reply, const std::optional<FaultRule>& fault,
               const std::vector<uint8_t>& previous, std::unique_lock<std::mutex>& lock) {
    if (!fault || fault->fault == Fault::kDropChunk) {
      SendRaw(reply);
      return;
    }
    std::vector<uint8_t> bad = reply;
    switch (fault->fault) {
      case Fault::kDropReply:
        return;
      case Fault::kLate:
        lock.unlock();
        Pause(fault->delay_ms);
        lock.lock();
        SendRaw(reply);
        return;
      case Fault::kWrongSequence:
        w::Put16(&bad[6], static_cast<uint16_t>(w::Get16(&bad[6]) + 0x100));
        w::Seal(bad.data(), bad.size());
        SendRaw(bad);
        return;
      case Fault::kWrongConnection:
        w::Put16(&bad[4], static_cast<uint16_t>(w::Get16(&bad[4]) ^ 0x0F0F));
        w::Seal(bad.data(), bad.size());
        SendRaw(bad);
        return;
      case Fault::kStaleReply:
        if (!previous.empty()) SendRaw(previous);
        SendRaw(reply);
        return;
      case Fault::kDropChunk:
        SendRaw(reply);
        return;
    }
  }

  void Handle(const uint8_t* p, std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex);
    Packet pk;
    w::Header h;
    const bool whole = w::ParseHeader(p, n, &h);
    pk.command = h.command;
    pk.connection = h.connection;
    pk.sequence = h.sequence;
    if (n > w::kHeaderSize) pk.data.assign(p + w::kHeaderSize, p + n);
    pk.checksum_ok = whole && w::ChecksumValid(p, n);
    log.push_back(pk);
    changed.notify_all();
    const std::size_t log_index = log.size() - 1;
    if (!whole || !pk.checksum_ok || silent) return;

    const std::string key = SourceKey();
    const auto verdict = core.Examine(key, p, n);
    using V = term::ServerCore::Verdict;
    if (verdict == V::kDrop) return;
    if (verdict == V::kRepeat) {
      log[log_index].repeat = true;
      for (const auto& packet : core.Handle(key, p, n).stream) SendRaw(packet);
      return;
    }
    const auto fault = TakeFault(h.command);

    // Scripted replies first; the callback runs without the lock.
    std::optional<term::Reply> scripted;
    if (verdict == V::kExecute) {
      std::optional<Reply> mine;
      if (handler) {
        auto fn = handler;
        lock.unlock();
        mine = fn(pk);
        lock.lock();
        if (core.Examine(key, p, n) != V::kExecute) return;  // the record went meanwhile
      }
      if (!mine) {
        auto it = table.find(h.command);
        if (it != table.end()) mine = it->second;
      }
      if (mine) scripted = term::Reply{mine->code, mine->data};
    }

    term::ServerCore::Outcome out = core.Handle(key, p, n, scripted);
    if (out.block) transfers.push_back(Transfer{out.block->command, out.block->block, out.block->announced,
                                                out.block->params});
    const bool drop_first_chunk = fault && fault->fault == Fault::kDropChunk;
    for (std::size_t i = 0; i < out.stream.size(); ++i)
      if (!(drop_first_chunk && i == 1)) SendRaw(out.stream[i]);
    if (!out.reply.empty()) Deliver(out.reply, fault, out.previous, lock);
    changed.notify_all();
    if (out.after) {
      lock.unlock();
      out.after();
    }
  }

  void Run() {
    std::vector<uint8_t> buf(65536);
    for (;;) {
      pollfd p[2] = {{fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[1].revents) return;
      if (!(p[0].revents & POLLIN)) {
        if (p[0].revents & (POLLERR | POLLNVAL)) return;
        continue;
      }
      if (serial) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) continue;
        std::vector<uint8_t> payload;
        {
          std::lock_guard<std::mutex> lock(mutex);
          bytes_in += static_cast<uint64_t>(n);
          reader.Feed(buf.data(), static_cast<std::size_t>(n));
        }
        for (;;) {
          bool got;
          {
            std::lock_guard<std::mutex> lock(mutex);
            got = reader.Next(&payload);
          }
          if (!got) break;
          Handle(payload.data(), payload.size());
        }
      } else {
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        {
          std::lock_guard<std::mutex> lock(mutex);
          bytes_in += static_cast<uint64_t>(n);
        }
        Handle(buf.data(), static_cast<std::size_t>(n));
      }
    }
  }
};

namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test peer: ") + what + ": " + std::strerror(errno));
}

}  // namespace

TestPeer::TestPeer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TestPeer::~TestPeer() = default;

std::unique_ptr<TestPeer> TestPeer::StartUdp() { return StartUdp(nullptr); }
std::unique_ptr<TestPeer> TestPeer::StartSerial() { return StartSerial(nullptr); }

std::unique_ptr<TestPeer> TestPeer::StartUdp(std::shared_ptr<sim::terminal::Terminal> terminal) {
  auto impl = std::make_unique<Impl>(std::move(terminal));
  Check(::pipe2(impl->stop_pipe, O_CLOEXEC) == 0, "pipe");
  impl->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  Check(impl->fd >= 0, "socket");
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  Check(::bind(impl->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "bind");
  socklen_t len = sizeof a;
  Check(::getsockname(impl->fd, reinterpret_cast<sockaddr*>(&a), &len) == 0, "getsockname");
  impl->port = ntohs(a.sin_port);
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->Run(); });
  return std::unique_ptr<TestPeer>(new TestPeer(std::move(impl)));
}

std::unique_ptr<TestPeer> TestPeer::StartSerial(std::shared_ptr<sim::terminal::Terminal> terminal) {
  auto impl = std::make_unique<Impl>(std::move(terminal));
  impl->serial = true;
  Check(::pipe2(impl->stop_pipe, O_CLOEXEC) == 0, "pipe");
  impl->fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  Check(impl->fd >= 0, "posix_openpt");
  Check(::grantpt(impl->fd) == 0 && ::unlockpt(impl->fd) == 0, "unlockpt");
  char name[128];
  Check(::ptsname_r(impl->fd, name, sizeof name) == 0, "ptsname");
  impl->device = name;
  impl->slave_fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  Check(impl->slave_fd >= 0, "open pty");
  termios tio{};
  Check(::tcgetattr(impl->slave_fd, &tio) == 0, "tcgetattr");
  ::cfmakeraw(&tio);
  Check(::tcsetattr(impl->slave_fd, TCSANOW, &tio) == 0, "tcsetattr");
  ::fcntl(impl->fd, F_SETFL, ::fcntl(impl->fd, F_GETFL) | O_NONBLOCK);
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->Run(); });
  return std::unique_ptr<TestPeer>(new TestPeer(std::move(impl)));
}

uint16_t TestPeer::port() const { return impl_->port; }
const std::string& TestPeer::device() const { return impl_->device; }

void TestPeer::SetReply(uint16_t command, Reply reply) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->table[command] = std::move(reply);
}
void TestPeer::SetHandler(std::function<std::optional<Reply>(const Packet&)> handler) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->handler = std::move(handler);
}
void TestPeer::SetOption(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->terminal->Options().Preset(name, value);
}
std::optional<std::string> TestPeer::GetOption(const std::string& name) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->terminal->Options().Get(name);
}
void TestPeer::SetMemory(std::vector<uint8_t> memory) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->plain) impl_->plain->memory = std::move(memory);
}
void TestPeer::WithTerminal(const std::function<void(sim::terminal::Terminal&)>& fn) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  fn(*impl_->terminal);
}
void TestPeer::ResetConnections() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->core.Reset();
}
void TestPeer::InjectFault(Fault fault, uint16_t command, int nth, int delay_ms) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.push_back({fault, command, nth < 1 ? 1 : nth, delay_ms});
}
void TestPeer::SetReplyPort(uint16_t port) { impl_->reply_port = port; }
void TestPeer::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->silent = silent;
}
std::vector<Packet> TestPeer::Log() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->log;
}
std::vector<Transfer> TestPeer::Transfers() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->transfers;
}
int TestPeer::Connections() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->core.Connections();
}
void TestPeer::ClearLog() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->log.clear();
  impl_->transfers.clear();
}
bool TestPeer::WaitFor(const std::function<bool(const std::vector<Packet>&)>& pred, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return pred(impl_->log); });
}
uint64_t TestPeer::BytesReceived() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->bytes_in;
}
uint64_t TestPeer::BytesSent() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->bytes_out;
}

}  // namespace vordlix::testpeer
