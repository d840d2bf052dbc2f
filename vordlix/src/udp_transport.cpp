// UDP transport: one socket per connection. Replies of a boot loader come back to
// port 4370 whatever port the request left from, so the socket takes local port
// 4370 when it is free (VORDLIX_LOCAL_PORT overrides it; 0 = any free port).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "vordlix/src/transport.h"

namespace vordlix {
namespace {

constexpr int kLoaderPort = 4370;
// Chunk data per datagram: the loader accepts Ethernet frames up to 1,536 bytes as
// its controller counts them (CRC included); 1,024 + 8 + 42 stays well below.
constexpr std::size_t kUdpMaxData = 1024;

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

class UdpTransport : public Transport {
 public:
  UdpTransport(int fd, sockaddr_in peer) : fd_(fd), peer_(peer) {}
  ~UdpTransport() override { ::close(fd_); }

  bool Send(const uint8_t* packet, std::size_t n) override {
    ssize_t r;
    do {
      r = ::sendto(fd_, packet, n, 0, reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_);
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
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    packet->resize(65536);
    ssize_t n = ::recv(fd_, packet->data(), packet->size(), 0);
    if (n < 0) {
      // Port unreachable and the like: not a packet, not fatal.
      if (errno == ECONNREFUSED || errno == EINTR || errno == EAGAIN) return 0;
      return -1;
    }
    packet->resize(static_cast<std::size_t>(n));
    bytes_received += static_cast<uint64_t>(n);
    return 1;
  }

  std::size_t MaxData() const override { return kUdpMaxData; }
  int ResendIntervalMs(std::size_t) const override { return 150; }

  void Flush() override {
    uint8_t scratch[2048];
    while (::recv(fd_, scratch, sizeof scratch, MSG_DONTWAIT) >= 0) {
    }
  }

 private:
  int fd_;
  sockaddr_in peer_;
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

  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return nullptr;
  }
  bool bound;
  const char* local = std::getenv("VORDLIX_LOCAL_PORT");
  int local_port;
  if (local && *local) {
    if (!ParsePort(Trim(local), &local_port)) {
      ::close(fd);
      *error = "VORDLIX_LOCAL_PORT is not a port number";
      return nullptr;
    }
    bound = BindLocal(fd, local_port);
  } else {
    bound = BindLocal(fd, kLoaderPort) || BindLocal(fd, 0);
  }
  if (!bound) {
    *error = std::string("bind: ") + std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<UdpTransport>(fd, peer);
}

}  // namespace vordlix
