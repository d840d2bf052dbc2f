// vordlix-bench: round trips per second of VORDLIX_SENDCMD, bytes per second of
// VORDLIX_SENDCMDDATA, and the protocol's overhead (bytes on the wire per payload
// byte), against the test peer on loopback UDP and on a pseudo-terminal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "vordlix/testpeer/test_peer.h"
#include <vordlix/vordlix.h>

namespace {

using Clock = std::chrono::steady_clock;
using vordlix::testpeer::TestPeer;

double Seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

int32_t Open(bool serial, TestPeer& peer) {
  if (serial) return VORDLIX_INIT("vxserial.dll", peer.device().c_str(), 1, 115200, 2000, 0);
  return VORDLIX_INIT("vxnet.dll", "127.0.0.1", peer.port(), 0, 2000, 0);
}

void RoundTrips(bool serial, int n) {
  auto peer = serial ? TestPeer::StartSerial() : TestPeer::StartUdp();
  const int32_t h = Open(serial, *peer);
  if (!h) {
    std::printf("  cannot connect\n");
    return;
  }
  const auto t0 = Clock::now();
  int ok = 0;
  for (int i = 0; i < n; ++i) {
    uint16_t reply = 2000;
    VORDLIX_SENDCMD(h, &reply, nullptr, 0, 0, 1000);
    ok += reply == 2000;
  }
  const double s = Seconds(t0);
  std::printf("  VORDLIX_SENDCMD round trips:      %9.0f per second (%d of %d answered, %.1f us each)\n", n / s, ok,
              n, s * 1e6 / n);
  VORDLIX_CLOSE(h);
}

void Transfer(bool serial, std::size_t size, int repeats) {
  auto peer = serial ? TestPeer::StartSerial() : TestPeer::StartUdp();
  const int32_t h = Open(serial, *peer);
  if (!h) return;
  std::vector<uint8_t> block(size);
  for (std::size_t i = 0; i < size; ++i) block[i] = static_cast<uint8_t>(i * 31);
  const uint8_t params[8] = {};
  const auto t0 = Clock::now();
  int ok = 0;
  for (int i = 0; i < repeats; ++i) {
    uint16_t reply = 110;
    VORDLIX_SENDCMDDATA(h, &reply, block.data(), static_cast<int32_t>(size), params, 8, 30000);
    ok += reply == 2000;
  }
  const double s = Seconds(t0);
  std::printf("  VORDLIX_SENDCMDDATA %8zu bytes: %9.1f MB/s (%d of %d accepted)\n", size,
              static_cast<double>(size) * repeats / s / 1e6, ok, repeats);
  VORDLIX_CLOSE(h);
}

// One 20,464-byte transfer (the boot-loader image's size), counted on the wire.
void Overhead(bool serial) {
  const std::size_t size = 20464;
  auto peer = serial ? TestPeer::StartSerial() : TestPeer::StartUdp();
  const int32_t h = Open(serial, *peer);
  if (!h) return;
  peer->ClearLog();
  const uint64_t in0 = peer->BytesReceived(), out0 = peer->BytesSent();
  std::vector<uint8_t> block(size, 0x5A);
  const uint8_t params[8] = {};
  uint16_t reply = 110;
  VORDLIX_SENDCMDDATA(h, &reply, block.data(), static_cast<int32_t>(size), params, 8, 30000);
  const uint64_t in = peer->BytesReceived() - in0, out = peer->BytesSent() - out0;
  const auto log = peer->Log();
  if (serial) {
    const double ratio = static_cast<double>(in + out) / size;
    std::printf("  %zu-byte transfer in %zu requests: %llu frame bytes out, %llu back: %.4f bytes per payload byte;\n"
                "    at 115,200 baud (10 bits a byte) the line is busy %.2f s\n",
                size, log.size(), static_cast<unsigned long long>(in), static_cast<unsigned long long>(out), ratio,
                (in + out) * 10.0 / 115200);
  } else {
    // On Ethernet each datagram adds 42 header bytes (Ethernet, IPv4, UDP), is padded
    // to the 60-byte minimum, and carries a 4-byte CRC.
    uint64_t frames = 0;
    for (const auto& p : log) {
      const std::size_t len = p.data.size() + 8 + 42;
      frames += (len < 60 ? 60 : len) + 4;
      frames += 60 + 4;  // its 8-byte reply
    }
    std::printf("  %zu-byte transfer in %zu datagrams each way: %.4f UDP payload bytes per payload byte,\n"
                "    %.4f Ethernet frame bytes per payload byte (headers, padding, CRC)\n",
                size, log.size(), static_cast<double>(in + out) / size, static_cast<double>(frames) / size);
  }
  VORDLIX_CLOSE(h);
}

// A local UDP port that was free a moment ago.
uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// k connections to k peers through one shared local port, one thread each: round
// trips per second in all.
void SharedRoundTrips(int k, int n) {
  std::vector<std::unique_ptr<TestPeer>> peers;
  std::vector<int32_t> handles;
  for (int i = 0; i < k; ++i) {
    peers.push_back(TestPeer::StartUdp());
    handles.push_back(Open(false, *peers.back()));
    if (!handles.back()) {
      std::printf("  cannot connect\n");
      return;
    }
  }
  std::vector<int> ok(k, 0);
  const auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < k; ++i)
    threads.emplace_back([&, i] {
      for (int j = 0; j < n / k; ++j) {
        uint16_t reply = 2000;
        VORDLIX_SENDCMD(handles[i], &reply, nullptr, 0, 0, 1000);
        ok[i] += reply == 2000;
      }
    });
  for (auto& t : threads) t.join();
  const double s = Seconds(t0);
  int all = 0;
  for (int v : ok) all += v;
  std::printf("  %d connections, %d threads, one socket:  %9.0f round trips per second in all (%d of %d answered)\n", k,
              k, all / s, all, n / k * k);
  for (int32_t h : handles) VORDLIX_CLOSE(h);
}

}  // namespace

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 20000;
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
  std::printf("libvordlix against the test peer\n\nUDP on 127.0.0.1 (1,024-byte chunks):\n");
  RoundTrips(false, n);
  Transfer(false, 20464, 200);
  Transfer(false, 1 << 20, 5);
  Overhead(false);
  std::printf("\nUDP, connections sharing one local port (as on port 4370):\n");
  setenv("VORDLIX_LOCAL_PORT", std::to_string(FreePort()).c_str(), 1);
  RoundTrips(false, n);
  SharedRoundTrips(3, n);
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
  std::printf("\nSerial frames on a pseudo-terminal (2,032-byte chunks; a pty does not pace to the baud rate):\n");
  RoundTrips(true, n / 4);
  Transfer(true, 20464, 100);
  Overhead(true);
  return 0;
}
