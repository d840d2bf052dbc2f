// The runner's bridge framing and its command line, without starting it.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "sim/runner/bridge.h"
#include "sim/runner/options.h"

namespace {

using simrun::Bytes;

const uint8_t kLoaderMac[6] = {0x02, 0x51, 0x4D, 0x00, 0x00, 0x01};
const uint8_t kLoaderIp[4] = {192, 168, 1, 201};

// A reply as the loader builds it: to the peer's MAC and IPv4, ports 4370.
Bytes loader_reply(const simrun::InnerPeer& to, const Bytes& payload) {
  Bytes f = simrun::wrap_datagram(to, 4370, kLoaderMac, kLoaderIp, 7, payload);
  std::copy(to.mac, to.mac + 6, f.begin());
  std::copy(kLoaderMac, kLoaderMac + 6, f.begin() + 6);
  std::copy(kLoaderIp, kLoaderIp + 4, f.begin() + 26);
  std::copy(to.ip, to.ip + 4, f.begin() + 30);
  return f;
}

TEST(RunnerBridge, WrapsADatagramForTheLoader) {
  simrun::InnerPeer p = simrun::inner_peer(3);
  Bytes payload = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  Bytes f = simrun::wrap_datagram(p, 50000, kLoaderMac, kLoaderIp, 0x0102, payload);
  ASSERT_EQ(f.size(), 60u) << "padded to the wire's minimum";
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 6), Bytes(kLoaderMac, kLoaderMac + 6));
  EXPECT_EQ(Bytes(f.begin() + 6, f.begin() + 12), Bytes(p.mac, p.mac + 6));
  EXPECT_EQ(f[12], 0x08);
  EXPECT_EQ(f[14], 0x45);
  EXPECT_EQ((f[16] << 8) | f[17], 28 + 9);
  uint32_t s = 0;
  for (int i = 14; i < 34; i += 2) s += (f[i] << 8) | f[i + 1];
  while (s >> 16) s = (s & 0xFFFF) + (s >> 16);
  EXPECT_EQ(s, 0xFFFFu) << "valid IPv4 header checksum";
  EXPECT_EQ(Bytes(f.begin() + 26, f.begin() + 30), Bytes(p.ip, p.ip + 4));
  EXPECT_EQ(Bytes(f.begin() + 30, f.begin() + 34), Bytes(kLoaderIp, kLoaderIp + 4));
  EXPECT_EQ((f[34] << 8) | f[35], 50000);
  EXPECT_EQ((f[36] << 8) | f[37], 4370);
  EXPECT_EQ(Bytes(f.begin() + 42, f.begin() + 51), payload);
}

TEST(RunnerBridge, UnwrapsOnlyWellFormedDatagramsToPort4370) {
  simrun::InnerPeer p = simrun::inner_peer(1);
  Bytes payload(100, 0x42);
  Bytes good = loader_reply(p, payload);
  auto out = simrun::unwrap_datagram(good);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->payload, payload);
  EXPECT_EQ(Bytes(out->dst_ip, out->dst_ip + 4), Bytes(p.ip, p.ip + 4));
  struct Case { const char* what; size_t at; uint8_t value; };
  const Case cases[] = {{"ARP", 13, 0x06}, {"TCP", 23, 6}, {"port 4371", 37, 0x13},
                        {"UDP length beyond the datagram", 38, 0xFF}, {"IPv6", 14, 0x65}};
  for (const Case& c : cases) {
    Bytes f = good;
    f[c.at] = c.value;
    EXPECT_FALSE(simrun::unwrap_datagram(f)) << c.what;
  }
  EXPECT_FALSE(simrun::unwrap_datagram(Bytes(good.begin(), good.begin() + 41)));
}

TEST(RunnerBridge, InnerPeersAreDistinctUnicastStationsApartFromTheLoader) {
  for (uint32_t n : {1u, 2u, 255u, 256u, 65000u}) {
    simrun::InnerPeer p = simrun::inner_peer(n);
    EXPECT_EQ(p.mac[0] & 1, 0) << n;
    EXPECT_NE(Bytes(p.mac, p.mac + 6), Bytes(kLoaderMac, kLoaderMac + 6));
    EXPECT_NE(Bytes(p.ip, p.ip + 4), Bytes(kLoaderIp, kLoaderIp + 4));
    simrun::InnerPeer q = simrun::inner_peer(n + 1);
    EXPECT_NE(Bytes(p.ip, p.ip + 4), Bytes(q.ip, q.ip + 4));
  }
}

TEST(RunnerOptions, LoopbackOnlyAndClearErrors) {
  struct Case { std::vector<std::string> args; bool ok; const char* says; };
  const Case cases[] = {
      {{}, true, ""},
      {{"--loader", "--udp", "127.0.0.1:0"}, true, ""},
      {{"--udp", "127.5.6.7:4370"}, true, ""},
      {{"--udp", "192.168.1.201:4370"}, false, "only loopback"},
      {{"--udp", "0.0.0.0:4370"}, false, "only loopback"},
      {{"--udp", "localhost:4370"}, false, "not an IPv4 address"},
      {{"--udp", "127.0.0.1:70000"}, false, "not a port"},
      {{"--udp", "127.0.0.1"}, false, "ADDRESS:PORT"},
      {{"--engine", "arm", "--time", "virtual"}, true, ""},
      {{"--engine", "native", "--time", "wall"}, true, ""},
      {{"--time", "fast"}, false, "unknown time mode"},
      {{"--engine", "qemu"}, false, "unknown engine"},
      {{"--flash-id", "0x2249"}, true, ""},
      {{"--flash-id", "0x10000"}, false, "16-bit"},
      {{"--flash"}, false, "needs a value"},
      {{"--bogus"}, false, "unknown option"},
      {{"--loss", "20", "--delay", "40", "--seed", "7"}, true, ""},
      {{"--loss", "101"}, false, "percentage"},
      {{"--loss", "-1"}, false, "percentage"},
      {{"--delay", "x"}, false, "not a number"},
      {{"--delay", "60001"}, false, "at most"},
      {{"--seed", "-3"}, false, "not a number"},
      {{"--options", ""}, false, "file name"},
  };
  for (const Case& c : cases) {
    simrun::Options o;
    std::string err = simrun::parse_options(c.args, &o);
    EXPECT_EQ(err.empty(), c.ok) << err;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
  }
  simrun::Options o;
  ASSERT_EQ(simrun::parse_options({"--udp", "127.0.0.2:99", "--flash-id", "0x2782"}, &o), "");
  EXPECT_EQ(ntohs(o.udp.sin_port), 99);
  EXPECT_EQ(o.flash_id, 0x2782);
  simrun::Options d;
  ASSERT_EQ(simrun::parse_options({}, &d), "");
  EXPECT_EQ(ntohs(d.udp.sin_port), 4370);
  EXPECT_EQ(d.flash_id, 0x22C4);
  EXPECT_EQ(d.flash_file, "quelmark-flash.bin");
  EXPECT_FALSE(d.loader_mode) << "main-firmware mode unless --loader";
  EXPECT_EQ(d.options_file, "quelmark-options.txt");
  simrun::Options f;
  ASSERT_EQ(simrun::parse_options({"--flash", "/var/q/flash.bin", "--engine", "native"}, &f), "");
  EXPECT_EQ(f.options_file, "/var/q/quelmark-options.txt") << "beside the flash file";
  EXPECT_TRUE(f.loader_mode) << "the native engine keeps loader mode";
}

TEST(RunnerBridge, BindsLoopbackOnly) {
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  EXPECT_THROW(simrun::Bridge b(any), std::runtime_error);
  sockaddr_in lo = any;
  lo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  simrun::Bridge b(lo);
  EXPECT_NE(b.port(), 0);
  EXPECT_EQ(b.address(), "127.0.0.1:" + std::to_string(b.port()));
}

}  // namespace

namespace {

// The bridge finds the terminal as a PC does: a broadcast ARP request for its
// IPv4 address from the host socket's station, and the reply's sender MAC.
TEST(RunnerBridge, AsksForTheTerminalByArpAndLearnsItsMac) {
  const uint8_t terminal[4] = {192, 168, 1, 201};
  simrun::InnerPeer me = simrun::inner_peer(3);
  Bytes req = simrun::arp_request(me, terminal);
  ASSERT_EQ(req.size(), 60u);
  EXPECT_EQ(Bytes(req.begin(), req.begin() + 6), Bytes(6, 0xFF));
  EXPECT_EQ(Bytes(req.begin() + 6, req.begin() + 12), Bytes(me.mac, me.mac + 6));
  EXPECT_EQ((Bytes{req[12], req[13], req[20], req[21]}), (Bytes{0x08, 0x06, 0, 1}));
  EXPECT_EQ(Bytes(req.begin() + 28, req.begin() + 32), Bytes(me.ip, me.ip + 4));
  EXPECT_EQ(Bytes(req.begin() + 38, req.begin() + 42), Bytes(terminal, terminal + 4));

  // A reply as the loader builds it: the request turned round, operation 2.
  Bytes reply = req;
  const uint8_t mac[6] = {0x00, 0x17, 0x61, 0x10, 0x20, 0x30};
  std::copy(me.mac, me.mac + 6, reply.begin());
  std::copy(mac, mac + 6, reply.begin() + 6);
  reply[21] = 2;
  std::copy(mac, mac + 6, reply.begin() + 22);
  std::copy(terminal, terminal + 4, reply.begin() + 28);
  auto learned = simrun::arp_reply_from(reply, terminal);
  ASSERT_TRUE(learned.has_value());
  EXPECT_EQ(Bytes(learned->begin(), learned->end()), Bytes(mac, mac + 6));
  const uint8_t other[4] = {192, 168, 1, 202};
  EXPECT_FALSE(simrun::arp_reply_from(reply, other).has_value()) << "another station's reply";
  EXPECT_FALSE(simrun::arp_reply_from(req, terminal).has_value()) << "a request teaches nothing";
}

}  // namespace
