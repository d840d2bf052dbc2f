// UDP transport. A boot loader sends its replies to port 4370 of the host whatever
// port the request left from, so the connections of a process share one socket on
// local port 4370 when it can be bound (VORDLIX_LOCAL_PORT names another port to
// share, or 0 for a socket of each connection's own on any free port). Each
// datagram reaches the connection whose terminal sent it, by the sender's address
// and port: the address and port the connection sends to. Datagrams from anyone
// else are dropped.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "vordlix/src/transport.h"

namespace vordlix {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kLoaderPort = 4370;
// Chunk data per datagram: the loader accepts Ethernet frames up to 1,536 bytes as
// its controller counts them (CRC included); 1,024 + 8 + 42 stays well below.
constexpr std::size_t kUdpMaxData = 1024;
// Datagrams kept for a connection that is not reading at the moment; more are
// dropped, as a full socket buffer would drop them.
constexpr std::size_t kMaxQueued = 2048;
// Datagrams one reader takes from the socket at a time.
constexpr int kBatch = 64;

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  std::size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > 65535) return false;
  *port = v;
  return true;
}

// A terminal's address and port as one number.
uint64_t PeerKey(const sockaddr_in& a) {
  return (static_cast<uint64_t>(ntohl(a.sin_addr.s_addr)) << 16) | ntohs(a.sin_port);
}

// One UDP socket and the connections that receive through it. Whichever waiting
// thread finds nobody reading the socket reads it for all: it files every datagram
// under its sender and wakes the others. One connection alone thus reads its own
// replies straight from the socket.
class Endpoint {
 public:
  explicit Endpoint(int fd) : fd_(fd) {}
  ~Endpoint() { ::close(fd_); }
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  int fd() const { return fd_; }

  // Routes the datagrams of peer to a new queue; false when another connection
  // already receives that peer's datagrams here.
  bool Attach(uint64_t peer) {
    std::lock_guard<std::mutex> lock(mutex_);
    return routes_.emplace(peer, std::deque<std::vector<uint8_t>>()).second;
  }
  void Detach(uint64_t peer) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_.erase(peer);
  }

  // Waits up to timeout_ms for a datagram from peer: 1 with *packet, 0 on
  // time-out, -1 when the socket failed.
  int Receive(uint64_t peer, std::vector<uint8_t>* packet, int timeout_ms) {
    const auto deadline = Clock::now() + milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    std::unique_lock<std::mutex> lock(mutex_);
    bool tried = false;
    for (;;) {
      auto route = routes_.find(peer);
      if (route == routes_.end()) return -1;
      if (!route->second.empty()) {
        *packet = std::move(route->second.front());
        route->second.pop_front();
        return 1;
      }
      const auto now = Clock::now();
      if (tried && now >= deadline) return 0;
      tried = true;
      if (reading_) {
        cv_.wait_until(lock, deadline);
        continue;
      }
      reading_ = true;
      lock.unlock();
      const int r = ReadSocket(deadline > now ? static_cast<int>(
                                                    std::chrono::ceil<milliseconds>(deadline - now).count())
                                              : 0);
      lock.lock();
      reading_ = false;
      FileBatch();
      cv_.notify_all();
      if (r < 0) return -1;
    }
  }

  // Drops what has arrived for peer so far.
  void Flush(uint64_t peer) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!reading_) {
      reading_ = true;
      lock.unlock();
      while (ReadSocket(0) > 0) {
        lock.lock();
        FileBatch();
        lock.unlock();
      }
      lock.lock();
      reading_ = false;
      FileBatch();
      cv_.notify_all();
    }
    auto route = routes_.find(peer);
    if (route != routes_.end()) route->second.clear();
  }

 private:
  // Waits up to timeout_ms for the socket, then takes what waits (up to kBatch
  // datagrams) into batch_. Only the one reader calls it. Result: datagrams taken,
  // or -1 on a socket error.
  int ReadSocket(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    const int r = ::poll(&p, 1, timeout_ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    int taken = 0;
    while (taken < kBatch) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(fd_, buffer_, sizeof buffer_, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                   &len);
      if (n < 0) {
        // Port unreachable and the like: not a datagram, not fatal.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) break;
        return -1;
      }
      if (len < sizeof from || from.sin_family != AF_INET) continue;
      batch_.emplace_back(PeerKey(from), std::vector<uint8_t>(buffer_, buffer_ + n));
      ++taken;
    }
    return taken;
  }

  // Files the datagrams of batch_ under their senders; a datagram from a sender no
  // connection talks to is dropped. Called with mutex_ held.
  void FileBatch() {
    for (auto& [peer, bytes] : batch_) {
      auto route = routes_.find(peer);
      if (route != routes_.end() && route->second.size() < kMaxQueued) route->second.push_back(std::move(bytes));
    }
    batch_.clear();
  }

  const int fd_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<uint64_t, std::deque<std::vector<uint8_t>>> routes_;
  bool reading_ = false;
  // The reader's own: touched only by the thread that set reading_.
  uint8_t buffer_[65536];
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> batch_;
};

// The shared sockets of this process by local port. An entry may outlive its
// endpoint; it is replaced when the port is shared again.
std::mutex g_shared_mutex;
std::map<int, std::weak_ptr<Endpoint>> g_shared;

class UdpTransport : public Transport {
 public:
  UdpTransport(std::shared_ptr<Endpoint> endpoint, sockaddr_in peer)
      : endpoint_(std::move(endpoint)), peer_(peer), key_(PeerKey(peer)) {}
  ~UdpTransport() override {
    // Under the registry's lock, so that a shared socket is closed before anyone
    // may try to bind its port again.
    std::lock_guard<std::mutex> lock(g_shared_mutex);
    endpoint_->Detach(key_);
    endpoint_.reset();
  }

  bool Send(const uint8_t* packet, std::size_t n) override {
    ssize_t r;
    do {
      r = ::sendto(endpoint_->fd(), packet, n, 0, reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
      // A refused earlier datagram (ICMP port unreachable) surfaces here once; the
      // next try is as good as the first.
      if (errno == ECONNREFUSED) return true;
      return false;
    }
    bytes_sent += n;
    return true;
  }

  int Receive(std::vector<uint8_t>* packet, int timeout_ms) override {
    const int r = endpoint_->Receive(key_, packet, timeout_ms);
    if (r > 0) bytes_received += packet->size();
    return r;
  }

  std::size_t MaxData() const override { return kUdpMaxData; }
  int ResendIntervalMs(std::size_t) const override { return 150; }
  void Flush() override { endpoint_->Flush(key_); }

 private:
  std::shared_ptr<Endpoint> endpoint_;
  sockaddr_in peer_;
  uint64_t key_;
};

bool BindLocal(int fd, int port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<uint16_t>(port));
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

}  // namespace

bool MapAddress(const std::string& map, const std::string& address, int port, std::string* host,
                int* mapped_port) {
  std::size_t pos = 0;
  while (pos <= map.size()) {
    std::size_t comma = map.find(',', pos);
    if (comma == std::string::npos) comma = map.size();
    const std::string entry = Trim(map.substr(pos, comma - pos));
    pos = comma + 1;
    const std::size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(entry.substr(0, eq));
    const std::string value = Trim(entry.substr(eq + 1));
    int key_port = -1;
    const std::size_t kc = key.rfind(':');
    if (kc != std::string::npos) {
      if (!ParsePort(key.substr(kc + 1), &key_port)) continue;
      key = key.substr(0, kc);
    }
    if (key.empty() || strcasecmp(key.c_str(), Trim(address).c_str()) != 0) continue;
    if (key_port >= 0 && key_port != port) continue;
    std::string to_host = value;
    int to_port = port;
    const std::size_t vc = value.rfind(':');
    if (vc != std::string::npos) {
      if (!ParsePort(value.substr(vc + 1), &to_port)) continue;
      to_host = value.substr(0, vc);
    }
    if (to_host.empty()) continue;
    *host = to_host;
    *mapped_port = to_port;
    return true;
  }
  return false;
}

std::unique_ptr<Transport> OpenUdp(const std::string& address, int port, std::string* error) {
  std::string host = Trim(address);
  int to_port = port;
  if (const char* map = std::getenv("VORDLIX_NET_MAP")) {
    std::string h;
    int p;
    if (MapAddress(map, address, port, &h, &p)) {
      host = h;
      to_port = p;
    }
  }
  if (host.empty() || to_port <= 0 || to_port > 65535) {
    *error = "no address or port";
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) {
    *error = "cannot resolve " + host;
    return nullptr;
  }
  sockaddr_in peer{};
  std::memcpy(&peer, res->ai_addr, sizeof peer);
  ::freeaddrinfo(res);
  peer.sin_port = htons(static_cast<uint16_t>(to_port));

  // The local port: VORDLIX_LOCAL_PORT (0: a socket of its own), else 4370 when it
  // can be had.
  int local_port = kLoaderPort;
  bool must_share = false;
  if (const char* local = std::getenv("VORDLIX_LOCAL_PORT"); local && *local) {
    if (!ParsePort(Trim(local), &local_port)) {
      *error = "VORDLIX_LOCAL_PORT is not a port number";
      return nullptr;
    }
    must_share = local_port != 0;
  }
  std::lock_guard<std::mutex> lock(g_shared_mutex);
  std::shared_ptr<Endpoint> endpoint;
  if (local_port != 0) {
    endpoint = g_shared[local_port].lock();
    if (!endpoint) {
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      if (fd >= 0 && BindLocal(fd, local_port)) {
        endpoint = std::make_shared<Endpoint>(fd);
        g_shared[local_port] = endpoint;
      } else {
        const int e = errno;
        if (fd >= 0) ::close(fd);
        if (must_share) {
          *error = "bind " + std::to_string(local_port) + ": " + std::strerror(e);
          return nullptr;
        }
      }
    }
    // A second connection to one terminal cannot be told apart from the first on a
    // shared socket: it gets a socket of its own.
    if (endpoint && !endpoint->Attach(PeerKey(peer))) endpoint = nullptr;
  }
  if (!endpoint) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || !BindLocal(fd, 0)) {
      *error = std::string("socket: ") + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return nullptr;
    }
    endpoint = std::make_shared<Endpoint>(fd);
    endpoint->Attach(PeerKey(peer));
  }
  return std::make_unique<UdpTransport>(std::move(endpoint), peer);
}

}  // namespace vordlix
