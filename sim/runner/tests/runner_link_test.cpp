// The UDP side's loss and delay (Link) and the serial frame splitter of the
// main-firmware host, without the runner.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "sim/runner/firmware_host.h"
#include "sim/runner/link.h"
#include "testing/reference.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct SocketPair {
  int a, b;
  sockaddr_in addr_a{}, addr_b{};
  SocketPair() {
    a = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    b = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    for (auto [fd, addr] : {std::pair{a, &addr_a}, std::pair{b, &addr_b}}) {
      addr->sin_family = AF_INET;
      addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t n = sizeof *addr;
      bind(fd, reinterpret_cast<sockaddr*>(addr), sizeof *addr);
      getsockname(fd, reinterpret_cast<sockaddr*>(addr), &n);
    }
  }
  ~SocketPair() {
    close(a);
    close(b);
  }
};

// How many of 400 datagrams each way get through a link with the given loss.
std::pair<int, int> Through(double loss, uint64_t seed) {
  SocketPair s;
  simrun::Link link(s.a, simrun::Impairment{loss, 0, seed});
  const uint8_t x = 1;
  int in = 0, out = 0;
  sockaddr_in from{};
  Bytes d;
  uint8_t buf[4];
  for (int batch = 0; batch < 4; ++batch) {  // batches a socket's buffer holds
    for (int i = 0; i < 100; ++i) {
      sendto(s.b, &x, 1, 0, reinterpret_cast<sockaddr*>(&s.addr_a), sizeof s.addr_a);
      link.send(s.addr_b, &x, 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    while (link.receive(&from, &d)) ++in;
    while (recv(s.b, buf, sizeof buf, 0) > 0) ++out;
  }
  return {in, out};
}

TEST(Link, LossIsSeededAndNearTheRate) {
  EXPECT_EQ(Through(0, 1), std::make_pair(400, 400));
  const auto first = Through(20, 5);
  EXPECT_EQ(Through(20, 5), first) << "the same seed loses the same datagrams";
  for (int n : {first.first, first.second}) {
    EXPECT_GT(n, 400 * 0.70);
    EXPECT_LT(n, 400 * 0.90);
  }
  EXPECT_EQ(Through(100, 3), std::make_pair(0, 0));
}

TEST(Link, DelayHoldsEachDirectionBack) {
  SocketPair s;
  simrun::Link link(s.a, simrun::Impairment{0, 80, 1});
  const uint8_t x = 7;
  const auto start = std::chrono::steady_clock::now();
  sendto(s.b, &x, 1, 0, reinterpret_cast<sockaddr*>(&s.addr_a), sizeof s.addr_a);
  link.send(s.addr_b, &x, 1);
  sockaddr_in from{};
  Bytes d;
  uint8_t buf[4];
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(link.receive(&from, &d));
  EXPECT_GT(link.pump(), 0);
  EXPECT_LT(recv(s.b, buf, sizeof buf, 0), 0);
  while (!link.receive(&from, &d)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  while (link.pump() >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(recv(s.b, buf, sizeof buf, 0), 1);
  EXPECT_EQ(d, Bytes{7});
  EXPECT_EQ(ntohs(from.sin_port), ntohs(s.addr_b.sin_port));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(80));
}

TEST(FrameSplitter, FindsFramesBehindNoiseAndDropsAStuckOneAfterSilence) {
  const Bytes p1 = qtest::packet(1000, 0, 1), p2 = qtest::packet(11, 0x5101, 2, Bytes{'V', '0', 0});
  Bytes line = {0x55, 0x81, 0x7E, 0xFF, 0xFF};  // noise, a false marker with a bad length
  for (const Bytes& p : {p1, p2}) {
    const Bytes f = simrun::seal_frame(p);
    line.insert(line.end(), f.begin(), f.end());
  }
  Bytes damaged = simrun::seal_frame(p1);
  damaged.back() ^= 1;  // checksum no longer matches
  simrun::FrameSplitter s;
  s.feed(damaged.data(), damaged.size());
  s.feed(line.data(), line.size());
  std::vector<uint8_t> got;
  ASSERT_TRUE(s.next(&got));
  EXPECT_EQ(got, p1);
  ASSERT_TRUE(s.next(&got));
  EXPECT_EQ(got, p2);
  EXPECT_FALSE(s.next(&got));

  // A frame announcing length 0 never completes: silence drops it byte by byte.
  Bytes stuck = {0x01, 0x01, 0x81, 0x7E, 0x00, 0x00, 0x00, 0x00};
  s.feed(stuck.data(), stuck.size());
  EXPECT_FALSE(s.next(&got));
  s.silence();
  const Bytes f = simrun::seal_frame(p1);
  s.feed(f.data(), f.size());
  ASSERT_TRUE(s.next(&got));
  EXPECT_EQ(got, p1);
}

}  // namespace
