// Serial transport: command packets in serial frames on a raw tty (8N1, no flow
// control). "COMn" names /dev/ttyS<n-1>, or the path in VORDLIX_COMn.
#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "vordlix/src/transport.h"
#include "vordlix/src/wire.h"

namespace vordlix {
namespace {

// 2,040 payload bytes per frame at most, 8 of them the packet header.
constexpr std::size_t kSerialMaxData = wire::kMaxFramePayload - wire::kHeaderSize;

// Silence after which a partial frame is given up.
constexpr int kSilenceMs = 50;

struct BaudEntry {
  int rate;
  speed_t code;
};
constexpr BaudEntry kBauds[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

class SerialTransport : public Transport {
 public:
  SerialTransport(int fd, int baud) : fd_(fd), baud_(baud) {}
  ~SerialTransport() override { ::close(fd_); }

  bool Send(const uint8_t* packet, std::size_t n) override {
    const std::vector<uint8_t> frame = wire::BuildFrame(packet, n);
    std::size_t off = 0;
    while (off < frame.size()) {
      ssize_t w = ::write(fd_, frame.data() + off, frame.size() - off);
      if (w < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
          pollfd p{fd_, POLLOUT, 0};
          if (::poll(&p, 1, 1000) <= 0) return false;
          continue;
        }
        return false;
      }
      off += static_cast<std::size_t>(w);
    }
    bytes_sent += frame.size();
    return true;
  }

  int Receive(std::vector<uint8_t>* packet, int timeout_ms) override {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
      if (reader_.Next(packet)) return 1;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      // With a partial frame pending, silence ends it (as the loader's receive does).
      const bool pending = reader_.Pending() > 0;
      int wait = left > 0 ? static_cast<int>(left) : 0;
      if (pending && wait > kSilenceMs) wait = kSilenceMs;
      pollfd p{fd_, POLLIN, 0};
      int r = ::poll(&p, 1, wait);
      if (r < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (r == 0) {
        if (left <= 0) return 0;
        if (pending) reader_.Skip();
        continue;
      }
      if (p.revents & (POLLERR | POLLNVAL)) return -1;
      uint8_t chunk[4096];
      ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return -1;
      }
      if (n == 0) {
        // Hang-up: the other side went away.
        if (p.revents & POLLHUP) return -1;
        continue;
      }
      bytes_received += static_cast<uint64_t>(n);
      reader_.Feed(chunk, static_cast<std::size_t>(n));
    }
  }

  std::size_t MaxData() const override { return kSerialMaxData; }

  int ResendIntervalMs(std::size_t n) const override {
    // The request and a reply of the largest size must pass the line (10 bits per
    // byte) before a resend makes sense.
    const double line_ms = (n + 2 * wire::kFrameHeaderSize + wire::kMaxFramePayload) * 10000.0 / baud_;
    return 150 + static_cast<int>(line_ms);
  }

  void Flush() override {
    ::tcflush(fd_, TCIFLUSH);
    reader_.Clear();
  }

 private:
  int fd_;
  int baud_;
  wire::FrameReader reader_;
};

}  // namespace

bool SerialBaudSupported(int baud) {
  for (const auto& b : kBauds)
    if (b.rate == baud) return true;
  return false;
}

std::string SerialDevicePath(const std::string& address) {
  if (!address.empty() && address[0] == '/') return address;
  if (address.size() < 4 || strncasecmp(address.c_str(), "COM", 3) != 0) return "";
  unsigned n = 0;
  for (std::size_t i = 3; i < address.size(); ++i) {
    const char c = address[i];
    if (c < '0' || c > '9' || n > 999) return "";
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (n == 0) return "";
  const std::string var = "VORDLIX_COM" + std::to_string(n);
  if (const char* path = std::getenv(var.c_str()); path && *path) return path;
  return "/dev/ttyS" + std::to_string(n - 1);
}

std::unique_ptr<Transport> OpenSerial(const std::string& address, int baud, std::string* error) {
  speed_t speed = 0;
  bool found = false;
  for (const auto& b : kBauds)
    if (b.rate == baud) {
      speed = b.code;
      found = true;
    }
  if (!found) {
    *error = "unsupported baud rate " + std::to_string(baud);
    return nullptr;
  }
  const std::string path = SerialDevicePath(address);
  if (path.empty()) {
    *error = "not a serial port name: " + address;
    return nullptr;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    *error = path + ": not a terminal";
    ::close(fd);
    return nullptr;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
      ::tcsetattr(fd, TCSANOW, &tio) != 0) {
    *error = path + ": cannot set line parameters";
    ::close(fd);
    return nullptr;
  }
  ::tcflush(fd, TCIOFLUSH);
  return std::make_unique<SerialTransport>(fd, baud);
}

}  // namespace vordlix
