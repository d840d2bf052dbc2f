// ARP, ICMP echo, IPv4 input checks and UDP port 4370, driven through the
// DM9000 model: frames in, frames out.
#include <gtest/gtest.h>

#include "bootloader/net/net.h"
#include "bootloader/tests/net_frames.h"
#include "bootloader/protocol/protocol.h"

using namespace nettest;

namespace {

class NetTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    ASSERT_EQ(bl::net_start(), 1);
    ASSERT_TRUE(bl::net_address_check());
    board.eth.sent().clear();
  }

  // Feeds one frame, serves the network once, returns what the loader sent.
  std::vector<Bytes> exchange(const Bytes& frame) {
    EXPECT_TRUE(board.eth.receive(frame));
    bl::serve_network();
    EXPECT_EQ(board.eth.rx_pending(), 0u);
    std::vector<Bytes> out;
    out.swap(board.eth.sent());
    return out;
  }

  Bytes one_reply(const Bytes& frame) {
    std::vector<Bytes> out = exchange(frame);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? Bytes{} : out[0];
  }

  // Connects over UDP from the given source port; returns the connection id.
  uint16_t connect(uint16_t sport = 50000) {
    Bytes r = udp_payload(one_reply(udp_frame(sport, 4370, command(1000, 0, 0))));
    EXPECT_EQ(r.size(), 8u);
    EXPECT_EQ(le16(r, 0), 2000u);
    return r.size() >= 8 ? le16(r, 4) : 0;
  }
};

TEST_F(NetTest, ArpRequestForAnyAddressGetsOurAddressInA60ByteFrame) {
  for (const Bytes& target : {Bytes{192, 168, 1, 7}, kLoaderIp, Bytes{10, 0, 0, 1}}) {
    SCOPED_TRACE(int(target[3]));
    Bytes r = one_reply(arp_request(target));
    ASSERT_EQ(r.size(), 60u);
    EXPECT_EQ(slice(r, 0, 6), kHostMac);
    EXPECT_EQ(slice(r, 6, 6), kLoaderMac);
    EXPECT_EQ(slice(r, 12, 8), (Bytes{0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4}));
    EXPECT_EQ(be16(r, 20), 2u);
    EXPECT_EQ(slice(r, 22, 6), kLoaderMac);
    EXPECT_EQ(slice(r, 28, 4), kLoaderIp);
    EXPECT_EQ(slice(r, 32, 6), kHostMac);
    EXPECT_EQ(slice(r, 38, 4), kHostIp);
    EXPECT_EQ(slice(r, 42, 18), Bytes(18, 0)) << "padding must be zeros";
  }
}

TEST_F(NetTest, OnlyWellFormedArpRequestsAreAnswered) {
  struct Case { const char* what; size_t at; uint8_t value; };
  const Case cases[] = {
      {"a reply (operation 2)", 21, 2}, {"hardware type 6", 15, 6},
      {"protocol type 0x86DD", 16, 0x86}, {"hardware length 8", 18, 8},
      {"protocol length 16", 19, 16},
  };
  for (const Case& c : cases) {
    Bytes f = arp_request(kLoaderIp);
    f[c.at] = c.value;
    EXPECT_TRUE(exchange(f).empty()) << c.what;
  }
}

TEST_F(NetTest, EchoRequestsToOwnAndBroadcastAddressAreAnsweredOthersNot) {
  struct Case { Bytes dst; bool answered; };
  const Case cases[] = {{kLoaderIp, true}, {kBroadcastIp, true}, {{192, 168, 1, 202}, false},
                        {{192, 168, 1, 255}, false}};
  Bytes data = {'p', 'i', 'n', 'g', 1, 2, 3, 4, 5};
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.dst[3]));
    IpOpts o;
    o.dst = c.dst;
    o.id = 0x4242;
    std::vector<Bytes> out = exchange(ip_frame(1, icmp_echo(data), o));
    if (!c.answered) {
      EXPECT_TRUE(out.empty());
      continue;
    }
    ASSERT_EQ(out.size(), 1u);
    const Bytes& r = out[0];
    size_t icmp_len = 8 + data.size();
    ASSERT_EQ(r.size(), std::max<size_t>(60, 34 + icmp_len));
    EXPECT_EQ(slice(r, 0, 6), kHostMac);
    EXPECT_EQ(slice(r, 6, 6), kLoaderMac);
    EXPECT_EQ(be16(r, 12), 0x0800u);
    EXPECT_EQ(r[14], 0x45);
    EXPECT_EQ(be16(r, 16), 20 + icmp_len);
    EXPECT_EQ(be16(r, 18), 0x4242u);
    EXPECT_EQ(r[22], 80) << "TTL";
    EXPECT_EQ(r[23], 1);
    EXPECT_EQ(inet_sum(&r[14], 20), 0) << "IP header checksum";
    EXPECT_EQ(slice(r, 26, 4), c.dst) << "the request's destination becomes the source";
    EXPECT_EQ(slice(r, 30, 4), kHostIp);
    EXPECT_EQ(r[34], 0) << "echo reply";
    EXPECT_EQ(inet_sum(&r[34], icmp_len), 0) << "ICMP checksum";
    EXPECT_EQ(slice(r, 38, icmp_len - 4), slice(icmp_echo(data), 4, icmp_len - 4));
  }
}

TEST_F(NetTest, EchoWithIpOptionsIsAnsweredWithA20ByteHeader) {
  IpOpts o;
  o.options = {0x01, 0x01, 0x01, 0x00, 0x94, 0x04, 0x00, 0x00};  // NOPs, router alert
  Bytes msg = icmp_echo(Bytes(40, 0x5A));
  Bytes r = one_reply(ip_frame(1, msg, o));
  ASSERT_EQ(r.size(), 34 + msg.size());
  EXPECT_EQ(r[14], 0x45);
  EXPECT_EQ(be16(r, 16), 20 + msg.size());
  EXPECT_EQ(inet_sum(&r[14], 20), 0);
  EXPECT_EQ(slice(r, 38, msg.size() - 4), slice(msg, 4, msg.size() - 4));
}

TEST_F(NetTest, OnlyFirstFragmentsAreProcessed) {
  struct Case { uint16_t flags_fragment; bool answered; };
  const Case cases[] = {{0x0000, true}, {0x2000, true} /* more fragments, offset 0 */,
                        {0x4000, true}, {0x2001, false}, {0x0010, false}, {0x1FFF, false}};
  for (const Case& c : cases) {
    IpOpts o;
    o.flags_fragment = c.flags_fragment;
    std::vector<Bytes> out = exchange(ip_frame(1, icmp_echo({1, 2, 3}), o));
    ASSERT_EQ(out.size(), c.answered ? 1u : 0u) << std::hex << c.flags_fragment;
    if (c.answered) EXPECT_EQ(be16(out[0], 20), c.flags_fragment) << "flags as received";
  }
}

TEST_F(NetTest, MalformedIpv4HeadersAreDropped) {
  Bytes good = ip_frame(1, icmp_echo({9, 9}));
  struct Case { const char* what; size_t at; uint8_t value; bool fix_sum; };
  const Case cases[] = {
      {"version 6", 14, 0x65, true},          {"header length 16", 14, 0x44, true},
      {"bad header checksum", 24, 0x00, false}, {"total length below header", 17, 19, true},
      {"unknown protocol", 23, 6, true},
  };
  ASSERT_EQ(exchange(good).size(), 1u);
  for (const Case& c : cases) {
    Bytes f = good;
    f[c.at] = c.value;
    if (c.fix_sum) {
      put_le16(f, 24, 0);
      put_le16(f, 24, inet_sum(&f[14], (f[14] & 15) * 4));
    } else if (f[24] == good[24]) {
      f[24] ^= 0xFF;
    }
    EXPECT_TRUE(exchange(f).empty()) << c.what;
  }
}

// Lengths in the headers that claim more than the frame brought must not make the
// loader echo bytes it never received (stale bytes of earlier frames).
TEST_F(NetTest, LengthsBeyondTheReceivedFrameDropTheDatagram) {
  IpOpts too_long;
  too_long.total_length = 20 + 8 + 4 + 500;  // the frame holds 32 bytes of datagram
  EXPECT_TRUE(exchange(ip_frame(1, icmp_echo({1, 2, 3, 4}), too_long)).empty());

  uint16_t id = connect();
  // UDP length larger than the IP datagram: dropped, no reply at all.
  Bytes ver = command(1100, id, 1);
  EXPECT_TRUE(exchange(ip_frame(17, udp(50000, 4370, ver, 8 + ver.size() + 200))).empty());
  // A short request's missing data is never taken from old frame bytes. An
  // ignored datagram leaves "size 16" where a 1500's data would stand; a 1500
  // without data (refused, or announcing 0) must not announce 16 bytes.
  exchange(udp_frame(50000, 4371, command(1500, id, 1, {16, 0, 0, 0})));
  one_reply(udp_frame(50000, 4370, command(1500, id, 1)));
  Bytes chunk = udp_payload(one_reply(udp_frame(50000, 4370, command(1501, id, 2, {1, 2, 3}))));
  EXPECT_EQ(le16(chunk, 0), 2001u);
}

TEST_F(NetTest, UdpToPort4370IsServedFromAnyPortAndAnsweredToPort4370) {
  EXPECT_TRUE(exchange(udp_frame(50000, 4371, command(1000, 0, 0))).empty());
  Bytes r = one_reply(udp_frame(50000, 4370, command(1000, 0, 0)));
  ASSERT_EQ(r.size(), 60u);  // 50-byte datagram frame, padded
  EXPECT_EQ(slice(r, 0, 6), kHostMac);
  EXPECT_EQ(slice(r, 6, 6), kLoaderMac);
  EXPECT_EQ(r[14], 0x45);
  EXPECT_EQ(be16(r, 16), 28u + 8u);
  EXPECT_EQ(be16(r, 20), 0x4000u) << "don't fragment";
  EXPECT_EQ(r[22], 80);
  EXPECT_EQ(r[23], 17);
  EXPECT_EQ(inet_sum(&r[14], 20), 0);
  EXPECT_EQ(slice(r, 26, 4), kLoaderIp);
  EXPECT_EQ(slice(r, 30, 4), kHostIp);
  EXPECT_EQ(be16(r, 34), 4370u);
  EXPECT_EQ(be16(r, 36), 4370u) << "reply goes to port 4370 whatever the source port";
  EXPECT_EQ(be16(r, 38), 16u);
  EXPECT_EQ(be16(r, 40), 0u) << "no UDP checksum";
  Bytes p = udp_payload(r);
  EXPECT_EQ(le16(p, 0), 2000u);
  EXPECT_EQ(inet_sum(p.data(), p.size()), 0);
  uint16_t id = le16(p, 4);

  // The connection works for a following command, and IP ids count up.
  Bytes v = one_reply(udp_frame(50000, 4370, command(1100, id, 1)));
  Bytes vp = udp_payload(v);
  ASSERT_EQ(vp.size(), 25u);
  EXPECT_EQ(le16(vp, 0), 2000u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&vp[8]), "BLDR Apr 14 2004");
  EXPECT_EQ(be16(v, 18), be16(r, 18) + 1);
}

TEST_F(NetTest, UdpDatagramsShorterThanTheirHeaderAreDropped) {
  for (int length : {0, 7}) {
    EXPECT_TRUE(exchange(ip_frame(17, udp(50000, 4370, command(1000, 0, 0), length))).empty())
        << length;
  }
  // A UDP header cut short by the IP total length.
  IpOpts o;
  o.total_length = 20 + 6;
  EXPECT_TRUE(exchange(ip_frame(17, udp(50000, 4370, {}), o)).empty());
}

TEST_F(NetTest, Command1004RepliesThenRestarts) {
  uint16_t id = connect();
  board.eth.receive(udp_frame(50000, 4370, command(1004, id, 1)));
  try {
    bl::serve_network();
    FAIL() << "no restart";
  } catch (const bl::hw::LeaveLoader& l) {
    EXPECT_EQ(l.kind, bl::hw::LeaveLoader::Restart);
  }
  ASSERT_EQ(board.eth.sent().size(), 1u);
  EXPECT_EQ(le16(udp_payload(board.eth.sent()[0]), 0), 0xFFFFu);
}

TEST_F(NetTest, FramesFromGroupSourceAddressesAreIgnored) {
  Bytes f = arp_request(kLoaderIp);
  f[6] |= 1;
  EXPECT_TRUE(exchange(f).empty());
}

TEST_F(NetTest, UdpSendBuildsTheDatagramFrame) {
  Bytes peer = kHostMac;
  append(peer, kHostIp);
  Bytes packet(1032);
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<uint8_t>(i * 7);
  bl::udp_send(packet.data(), packet.size(), peer.data());
  bl::udp_send(packet.data(), 3, peer.data());
  ASSERT_EQ(board.eth.sent().size(), 2u);
  const Bytes& a = board.eth.sent()[0];
  ASSERT_EQ(a.size(), packet.size() + 42);
  EXPECT_EQ(be16(a, 16), packet.size() + 28);
  EXPECT_EQ(be16(a, 18), 0u) << "first identification after start";
  EXPECT_EQ(be16(a, 38), packet.size() + 8);
  EXPECT_EQ(slice(a, 42, packet.size()), packet);
  EXPECT_EQ(inet_sum(&a[14], 20), 0);
  const Bytes& b = board.eth.sent()[1];
  EXPECT_EQ(b.size(), 60u);
  EXPECT_EQ(be16(b, 18), 1u);
  EXPECT_EQ(slice(b, 45, 15), Bytes(15, 0));
}

}  // namespace
