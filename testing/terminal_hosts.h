// The host side of a simulated terminal as tests talk to it: command packets
// over UDP from a socket of its own on 127.0.0.1, and serial frames on the
// command port's pseudo-terminal. Replies are checked with the reference in
// reference.h; memory-read announces and chunks (1500/1501) are collected apart.
#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "testing/reference.h"

namespace qtest {

class UdpHost {
 public:
  explicit UdpHost(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&me), sizeof me);
    to_.sin_family = AF_INET;
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to_.sin_port = htons(port);
  }
  ~UdpHost() { close(fd_); }
  void send(const Bytes& p) {
    sendto(fd_, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to_), sizeof to_);
  }
  std::optional<Bytes> receive(int ms = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return std::nullopt;
    uint8_t buf[2048];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return Bytes(buf, buf + n);
  }
  // One request and its final reply; 1500/1501 packets of a memory read go to
  // `chunks`.
  Bytes call(const Bytes& p, std::vector<Bytes>* chunks = nullptr, int ms = 5000) {
    send(p);
    for (;;) {
      std::optional<Bytes> r = receive(ms);
      if (!r) return {};
      if (r->size() >= 2 && (le16(*r, 0) == 1500 || le16(*r, 0) == 1501)) {
        if (chunks) chunks->push_back(*r);
        continue;
      }
      return *r;
    }
  }

 private:
  int fd_;
  sockaddr_in to_{};
};

// Serial frames on the command port's pseudo-terminal.
class SerialHost {
 public:
  explicit SerialHost(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
    tcflush(fd_, TCIOFLUSH);
  }
  ~SerialHost() { close(fd_); }
  bool ok() const { return fd_ >= 0; }
  static Bytes frame(const Bytes& packet) {
    Bytes f = {1, 1, 0x81, 0x7E, 0, 0, 0, 0};
    put_le16(f, 4, packet.size());
    f.insert(f.end(), packet.begin(), packet.end());
    put_le16(f, 6, ref_checksum(f.data(), f.size()));
    return f;
  }
  void write_bytes(const Bytes& b) { (void)!write(fd_, b.data(), b.size()); }
  // One packet in a frame, then reply frames until one that is not a 1500/1501
  // packet; returns its packet (empty on time-out).
  Bytes call(const Bytes& packet, std::vector<Bytes>* chunks = nullptr) {
    write_bytes(frame(packet));
    return receive(chunks);
  }
  Bytes receive(std::vector<Bytes>* chunks = nullptr, int seconds = 5) {
    for (;;) {
      Bytes head = read_n(8, seconds);
      if (head.size() < 8) return {};
      Bytes body = read_n(le16(head, 4), seconds);
      Bytes whole = head;
      whole.insert(whole.end(), body.begin(), body.end());
      uint16_t sum = le16(whole, 6);
      put_le16(whole, 6, 0);
      EXPECT_EQ(ref_checksum(whole.data(), whole.size()), sum) << "frame checksum";
      if (body.size() >= 2 && (le16(body, 0) == 1500 || le16(body, 0) == 1501)) {
        if (chunks) chunks->push_back(body);
        continue;
      }
      return body;
    }
  }

 private:
  Bytes read_n(size_t n, int seconds) {
    Bytes out;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (out.size() < n && std::chrono::steady_clock::now() < until) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      uint8_t buf[4096];
      ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (got > 0) out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  int fd_;
};

}  // namespace qtest
