// The real image's network answers on the emulated Ethernet: ARP for its
// address and ICMP echo.
#include <gtest/gtest.h>

#include "sim/engine/arm/tests/arm_fixture.h"

namespace {

using armtest::ms;
using armtest::Terminal;
using Bytes = std::vector<uint8_t>;

const uint8_t kHostMac[6] = {0x02, 0x51, 0x48, 0, 0, 9};
const uint8_t kHostIp[4] = {192, 168, 1, 10};
const uint8_t kLoaderIp[4] = {192, 168, 1, 201};

uint16_t ip_sum(const uint8_t* p, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i + 1 < n; i += 2) s += (p[i] << 8) | p[i + 1];
  if (n & 1) s += p[n - 1] << 8;
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  return static_cast<uint16_t>(~s);
}

Bytes mac_of(Terminal& t) {
  Bytes m;
  for (int i = 0; i < 6; ++i) m.push_back(t.machine.dev.eth.reg(sim::Dm9000::PAR + i));
  return m;
}

// Sends a frame to the controller, runs until the loader transmits one.
Bytes exchange(Terminal& t, const Bytes& frame, std::vector<Bytes>& sent) {
  sent.clear();
  EXPECT_TRUE(t.machine.dev.eth.receive(frame));
  t.run_until([&] { return !sent.empty(); }, ms(500));
  return sent.empty() ? Bytes{} : sent.front();
}

TEST(ArmNet, AnswersArpAndPing) {
  Terminal t;
  std::vector<Bytes> sent;
  t.machine.dev.eth.on_transmit([&](const Bytes& f) { sent.push_back(f); });
  ASSERT_TRUE(t.boot());
  const Bytes mac = mac_of(t);

  Bytes arp(60, 0);  // padded to the least Ethernet frame
  std::fill(arp.begin(), arp.begin() + 6, 0xFF);
  std::copy(kHostMac, kHostMac + 6, arp.begin() + 6);
  arp[12] = 0x08, arp[13] = 0x06;
  const uint8_t arp_head[8] = {0, 1, 8, 0, 6, 4, 0, 1};
  std::copy(arp_head, arp_head + 8, arp.begin() + 14);
  std::copy(kHostMac, kHostMac + 6, arp.begin() + 22);
  std::copy(kHostIp, kHostIp + 4, arp.begin() + 28);
  std::copy(kLoaderIp, kLoaderIp + 4, arp.begin() + 38);
  Bytes r = exchange(t, arp, sent);
  ASSERT_GE(r.size(), 42u);
  EXPECT_EQ(Bytes(r.begin(), r.begin() + 6), Bytes(kHostMac, kHostMac + 6));
  EXPECT_EQ(r[21], 2) << "an ARP reply";
  EXPECT_EQ(Bytes(r.begin() + 22, r.begin() + 28), mac);
  EXPECT_EQ(Bytes(r.begin() + 28, r.begin() + 32), Bytes(kLoaderIp, kLoaderIp + 4));

  Bytes ping(14 + 20 + 8 + 32, 0);
  std::copy(mac.begin(), mac.end(), ping.begin());
  std::copy(kHostMac, kHostMac + 6, ping.begin() + 6);
  ping[12] = 0x08;
  uint8_t* ip = ping.data() + 14;
  ip[0] = 0x45;
  ip[3] = 20 + 8 + 32;
  ip[8] = 64;
  ip[9] = 1;
  std::copy(kHostIp, kHostIp + 4, ip + 12);
  std::copy(kLoaderIp, kLoaderIp + 4, ip + 16);
  uint16_t s = ip_sum(ip, 20);
  ip[10] = s >> 8, ip[11] = s & 0xFF;
  uint8_t* icmp = ip + 20;
  icmp[0] = 8;
  icmp[4] = 0x12, icmp[5] = 0x34, icmp[7] = 1;
  for (int i = 0; i < 32; ++i) icmp[8 + i] = static_cast<uint8_t>(i * 3);
  s = ip_sum(icmp, 40);
  icmp[2] = s >> 8, icmp[3] = s & 0xFF;
  r = exchange(t, ping, sent);
  ASSERT_GE(r.size(), ping.size());
  EXPECT_EQ(r[12], 0x08);
  EXPECT_EQ(r[13], 0x00);
  EXPECT_EQ(r[14 + 9], 1) << "ICMP";
  EXPECT_EQ(r[14 + 20], 0) << "echo reply";
  EXPECT_EQ(Bytes(r.begin() + 14 + 16, r.begin() + 14 + 20), Bytes(kHostIp, kHostIp + 4));
  EXPECT_EQ(Bytes(r.begin() + 14 + 24, r.begin() + 14 + 40), Bytes(icmp + 4, icmp + 20))
      << "identifier, sequence and data echoed";
  EXPECT_EQ(ip_sum(r.data() + 14, 20), 0) << "IP header checksum";
  EXPECT_EQ(ip_sum(r.data() + 34, 40), 0) << "ICMP checksum";
}

}  // namespace
