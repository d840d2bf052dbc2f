#include "test_peer.h"

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
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "wire.h"

namespace vordlix::testpeer {

namespace w = vordlix::wire;

namespace {

struct Record {
  uint16_t id = 0;
  std::string source;  // peer address: UDP "ip:port", serial "line"
  uint16_t last_sequence = 0;
  std::vector<uint8_t> stored;  // last reply sent through the normal path; empty = none
  bool has_block = false;
  std::vector<uint8_t> block;
  uint32_t announced = 0;
  uint32_t received = 0;
};

struct FaultRule {
  Fault fault;
  uint16_t command;
  int remaining;
  int delay_ms;
};

}  // namespace

struct TestPeer::Impl {
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
  std::list<Record> records;
  uint16_t next_id = 0x5101;
  std::map<uint16_t, Reply> table;
  std::function<std::optional<Reply>(const Packet&)> handler;
  std::map<std::string, std::string> options;
  std::vector<uint8_t> memory;
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

  Record* ById(uint16_t id) {
    for (auto& r : records)
      if (r.id == id) return &r;
    return nullptr;
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

  std::vector<uint8_t> MakeReply(uint16_t code, uint16_t field, uint16_t seq, const std::vector<uint8_t>& data) {
    return w::BuildPacket(code, field, seq, data.data(), data.size());
  }

  void Connect(uint16_t seq, const std::optional<FaultRule>& fault, std::unique_lock<std::mutex>& lock) {
    const std::string key = SourceKey();
    Record* r = nullptr;
    for (auto& rec : records)
      if (rec.source == key) r = &rec;
    if (!r) {
      records.emplace_back();
      r = &records.back();
      r->source = key;
      while (ById(next_id)) ++next_id;
      r->id = next_id++;
    }
    Deliver(MakeReply(w::kReplyOk, r->id, seq, {}), fault, {}, lock);
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

    Record* r = ById(h.connection);
    if (!r && h.command != w::kCmdConnect) return;
    if (r && h.sequence == r->last_sequence) {
      log[log_index].repeat = true;
      if (!r->stored.empty()) {
        SendRaw(r->stored);
        if (h.command == w::kCmdConnect) Connect(h.sequence, std::nullopt, lock);
      } else {
        SendRaw(MakeReply(w::kReplyNoStoredReply, h.connection, h.sequence, {}));
      }
      return;
    }
    const auto fault = TakeFault(h.command);
    if (h.command == w::kCmdConnect) {
      Connect(h.sequence, fault, lock);
      return;
    }
    if (h.command == w::kCmdDisconnect) {
      records.remove_if([&](const Record& rec) { return rec.id == h.connection; });
      changed.notify_all();
      return;
    }

    // Scripted replies first.
    std::optional<Reply> scripted;
    if (handler) {
      auto fn = handler;
      lock.unlock();
      scripted = fn(pk);
      lock.lock();
      r = ById(h.connection);
      if (!r) return;
    }
    if (!scripted) {
      auto it = table.find(h.command);
      if (it != table.end()) scripted = it->second;
    }
    const uint16_t cmd = h.command;
    const bool transfer_cmd = cmd == w::kCmdTransferSize || cmd == w::kCmdTransferChunk || cmd == 1502;
    if (!transfer_cmd && r->has_block) {
      Transfer t;
      t.command = cmd;
      t.block.assign(r->block.begin(), r->block.begin() + r->received);
      t.announced = r->announced;
      t.params = pk.data;
      transfers.push_back(std::move(t));
    }

    Reply reply;
    uint16_t field = r->id;
    if (scripted) {
      reply = *scripted;
    } else {
      const std::vector<uint8_t>& d = pk.data;
      switch (cmd) {
        case w::kCmdTransferSize:
          r->announced = d.size() >= 4 ? w::Get32(d.data()) : 0;
          r->block.assign(r->announced, 0);
          r->has_block = true;
          r->received = 0;
          break;
        case w::kCmdTransferChunk:
          if (r->has_block && h.sequence == static_cast<uint16_t>(r->last_sequence + 1) &&
              r->announced - r->received >= d.size()) {
            std::copy(d.begin(), d.end(), r->block.begin() + r->received);
            r->received += static_cast<uint32_t>(d.size());
          } else {
            reply.code = w::kReplyRefused;
          }
          break;
        case 1502:
          r->has_block = false;
          r->block.clear();
          r->announced = r->received = 0;
          break;
        case 110: {
          uint16_t error = 0;
          if (static_cast<int32_t>(r->announced) <= 0) error = 1;
          else if (!r->has_block) error = 2;
          else if (r->received < r->announced) error = 3;
          if (error) {
            reply.code = w::kReplyRefused;
            field = error;
          }
          break;
        }
        case w::kCmdMemoryRead: {
          const uint32_t addr = d.size() >= 4 ? w::Get32(d.data()) : 0;
          int32_t left = d.size() >= 8 ? static_cast<int32_t>(w::Get32(d.data() + 4)) : 0;
          std::vector<uint8_t> announce(8);
          w::Put32(&announce[0], static_cast<uint32_t>(left));
          w::Put32(&announce[4], 1024);
          SendRaw(MakeReply(w::kCmdTransferSize, h.connection, h.sequence, announce));
          uint32_t a = addr;
          uint16_t index = 0;
          bool drop_first = fault && fault->fault == Fault::kDropChunk;
          while (left > 0) {
            const uint32_t k = std::min<uint32_t>(static_cast<uint32_t>(left), 1024);
            std::vector<uint8_t> chunk(k, 0);
            for (uint32_t i = 0; i < k; ++i)
              if (a + i < memory.size()) chunk[i] = memory[a + i];
            if (!drop_first) SendRaw(MakeReply(w::kCmdTransferChunk, index, h.sequence, chunk));
            drop_first = false;
            a += k;
            left -= static_cast<int32_t>(k);
            field = index;
            ++index;
          }
          break;
        }
        case 11: {
          std::string name(d.begin(), std::find(d.begin(), d.end(), 0));
          auto it = options.find(name);
          if (it == options.end()) {
            reply.code = w::kReplyRefused;
          } else {
            const std::string text = name + "=" + it->second;
            reply.data.assign(text.begin(), text.end());
            reply.data.push_back(0);
          }
          break;
        }
        case 12: {
          std::string text(d.begin(), std::find(d.begin(), d.end(), 0));
          const std::size_t eq = text.find('=');
          if (eq == std::string::npos) reply.code = w::kReplyRefused;
          else options[text.substr(0, eq)] = text.substr(eq + 1);
          break;
        }
        case 1100: {
          static const char kVersion[] = "BLDR Apr 14 2004";
          reply.data.assign(kVersion, kVersion + sizeof kVersion);
          break;
        }
        case w::kReplyOk:
          break;
        default:
          reply.code = w::kReplyUnknown;
          break;
      }
    }
    const std::vector<uint8_t> previous = r->stored;
    const std::vector<uint8_t> out = MakeReply(reply.code, field, h.sequence, reply.data);
    // A scripted 2004 says "no reply yet": nothing is stored, a resend runs again.
    if (reply.code != w::kReplyNoStoredReply) {
      r->last_sequence = h.sequence;
      r->stored = out;
    }
    Deliver(out, fault, previous, lock);
    changed.notify_all();
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

std::unique_ptr<TestPeer> TestPeer::StartUdp() {
  auto impl = std::make_unique<Impl>();
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

std::unique_ptr<TestPeer> TestPeer::StartSerial() {
  auto impl = std::make_unique<Impl>();
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
  impl_->options[name] = value;
}
std::optional<std::string> TestPeer::GetOption(const std::string& name) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto it = impl_->options.find(name);
  if (it == impl_->options.end()) return std::nullopt;
  return it->second;
}
void TestPeer::SetMemory(std::vector<uint8_t> memory) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->memory = std::move(memory);
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
  return static_cast<int>(impl_->records.size());
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
