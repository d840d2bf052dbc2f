// The C functions' argument handling, module choice, addresses and environment.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "vordlix/tests/peer_fixture.h"
#include "vordlix/testpeer/test_peer.h"
#include "vordlix/src/transport.h"
#include <vordlix/vordlix.h>
#include "vordlix/src/wire.h"

namespace vordlix {
namespace {

using testing::Line;
using testing::VordlixPeerTest;
using testing::kLimitMs;

TEST(VordlixApiTest, UnknownModuleOrMissingTextsOpenNothing) {
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
  auto peer = testpeer::TestPeer::StartUdp();
  EXPECT_EQ(VORDLIX_INIT("vxusb.dll", "127.0.0.1", peer->port(), 0, 300, 0), 0);
  EXPECT_EQ(VORDLIX_INIT(nullptr, "127.0.0.1", peer->port(), 0, 300, 0), 0);
  EXPECT_EQ(VORDLIX_INIT("vxnet.dll", nullptr, peer->port(), 0, 300, 0), 0);
  EXPECT_EQ(VORDLIX_INIT("vxnet.dll", "127.0.0.1", 0, 0, 300, 0), 0);
  EXPECT_EQ(VORDLIX_INIT("vxnet.dll", "127.0.0.1", 70000, 0, 300, 0), 0);
  EXPECT_TRUE(peer->Log().empty());
  // Module names compare without regard to case, as on the system they come from.
  const int32_t h = VORDLIX_INIT("VXNET.DLL", "127.0.0.1", peer->port(), 0, kLimitMs, 0);
  EXPECT_NE(h, 0);
  VORDLIX_CLOSE(h);
}

TEST(VordlixApiTest, SerialOpenFailuresGiveHandleZero) {
  auto peer = testpeer::TestPeer::StartSerial();
  setenv("VORDLIX_COM9", peer->device().c_str(), 1);
  EXPECT_EQ(VORDLIX_INIT("vxserial.dll", "COM9", 1, 12345, 300, 0), 0);  // unsupported rate
  EXPECT_EQ(VORDLIX_INIT("vxserial.dll", "COM9", 1, 0, 300, 0), 0);
  EXPECT_EQ(VORDLIX_INIT("vxserial.dll", "/nonexistent/tty", 1, 115200, 300, 0), 0);
  EXPECT_EQ(VORDLIX_INIT("vxserial.dll", "/dev/null", 1, 115200, 300, 0), 0);  // not a terminal
  EXPECT_EQ(VORDLIX_INIT("vxserial.dll", "NET1", 1, 115200, 300, 0), 0);
  EXPECT_TRUE(peer->Log().empty());
  const int32_t h = VORDLIX_INIT("vxserial.dll", "COM9", 1, 115200, kLimitMs, 0);
  EXPECT_NE(h, 0);
  VORDLIX_CLOSE(h);
  unsetenv("VORDLIX_COM9");
}

TEST(VordlixApiTest, SerialAddressesMapToDevicePaths) {
  setenv("VORDLIX_COM3", "/tmp/sim-pty", 1);
  EXPECT_EQ(SerialDevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(SerialDevicePath("COM12"), "/dev/ttyS11");
  EXPECT_EQ(SerialDevicePath("COM3"), "/tmp/sim-pty");
  EXPECT_EQ(SerialDevicePath("/dev/pts/4"), "/dev/pts/4");
  for (const char* bad : {"COM", "COM0", "COMX", "COM1 ", "192.168.1.201", ""}) EXPECT_EQ(SerialDevicePath(bad), "") << bad;
  unsetenv("VORDLIX_COM3");
  EXPECT_TRUE(SerialBaudSupported(115200));
  EXPECT_TRUE(SerialBaudSupported(9600));
  EXPECT_FALSE(SerialBaudSupported(115201));
}

TEST(VordlixApiTest, NetMapRedirectsAddressesAndPorts) {
  struct Case {
    const char* map;
    const char* address;
    int port;
    bool applies;
    const char* host;
    int to_port;
  } cases[] = {
      {"192.168.1.201=127.0.0.1:5000", "192.168.1.201", 4370, true, "127.0.0.1", 5000},
      {"192.168.1.201=127.0.0.1:5000", "192.168.1.202", 4370, false, "", 0},
      {"192.168.1.201:4370=127.0.0.1:5000", "192.168.1.201", 4371, false, "", 0},
      {"192.168.1.201:4370=127.0.0.1:5000", "192.168.1.201", 4370, true, "127.0.0.1", 5000},
      {"a=b:1, terminal=127.0.0.2", "TERMINAL", 4370, true, "127.0.0.2", 4370},
      {"bad, 10.0.0.1=:5,10.0.0.1=127.0.0.1:99999,10.0.0.1=127.0.0.3:6", "10.0.0.1", 1, true, "127.0.0.3", 6},
      {"", "10.0.0.1", 1, false, "", 0},
  };
  for (const auto& c : cases) {
    std::string host;
    int port = 0;
    EXPECT_EQ(MapAddress(c.map, c.address, c.port, &host, &port), c.applies) << c.map;
    if (c.applies) {
      EXPECT_EQ(host, c.host) << c.map;
      EXPECT_EQ(port, c.to_port) << c.map;
    }
  }
}

TEST(VordlixApiTest, NetMapIsAppliedWhenOpening) {
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
  auto peer = testpeer::TestPeer::StartUdp();
  // Unmapped, the address would still be loopback; mapped, it reaches the peer.
  const std::string map = "127.0.0.99:4370=127.0.0.1:" + std::to_string(peer->port());
  setenv("VORDLIX_NET_MAP", map.c_str(), 1);
  const int32_t h = VORDLIX_INIT("vxnet.dll", "127.0.0.99", 4370, 0, kLimitMs, 0);
  unsetenv("VORDLIX_NET_MAP");
  EXPECT_NE(h, 0);
  ASSERT_FALSE(peer->Log().empty());
  EXPECT_EQ(peer->Log()[0].command, 1000);
  VORDLIX_CLOSE(h);
}

TEST(VordlixApiTest, LocalPortVariableIsHonoured) {
  auto peer = testpeer::TestPeer::StartUdp();
  setenv("VORDLIX_LOCAL_PORT", "not-a-port", 1);
  EXPECT_EQ(VORDLIX_INIT("vxnet.dll", "127.0.0.1", peer->port(), 0, 300, 0), 0);
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
  const int32_t h = VORDLIX_INIT("vxnet.dll", "127.0.0.1", peer->port(), 0, kLimitMs, 0);
  EXPECT_NE(h, 0);
  VORDLIX_CLOSE(h);
}

// A UDP socket bound to address:port (port 0: any), closed with the object.
struct Socket {
  int fd = -1;
  uint16_t port = 0;
  Socket(const char* address, uint16_t want) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &a.sin_addr);
    a.sin_port = htons(want);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Socket() { ::close(fd); }
  void SendTo(uint16_t to, const std::vector<uint8_t>& bytes) const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(to);
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
};

// A free local UDP port (free a moment ago) for VORDLIX_LOCAL_PORT.
uint16_t FreePort() { return Socket("127.0.0.1", 0).port; }

// Other sockets on the machine answer before the terminal, with the right
// connection id and sequence number: only the terminal's own address and port
// count, also when the address map chose them.
TEST(VordlixApiTest, RepliesFromAnyoneButTheTerminalAreIgnored) {
  const uint16_t local = FreePort();
  setenv("VORDLIX_LOCAL_PORT", std::to_string(local).c_str(), 1);
  auto peer = testpeer::TestPeer::StartUdp();
  Socket other_port("127.0.0.1", 0);              // the terminal's address, another port
  Socket other_address("127.0.0.2", peer->port());  // the terminal's port, another address
  ASSERT_NE(other_port.port, 0);
  ASSERT_NE(other_address.port, 0);
  peer->SetHandler([&](const testpeer::Packet& p) -> std::optional<testpeer::Reply> {
    if (p.command != 1100 && p.command != 111) return std::nullopt;
    for (const Socket* s : {&other_port, &other_address}) {
      std::vector<uint8_t> forged;
      if (p.command == 111) {  // a whole forged memory read
        const uint8_t announce[8] = {4, 0, 0, 0, 0, 4, 0, 0};
        s->SendTo(local, wire::BuildPacket(1500, p.connection, p.sequence, announce, 8));
        s->SendTo(local, wire::BuildPacket(1501, 0, p.sequence, reinterpret_cast<const uint8_t*>("evil"), 4));
        s->SendTo(local, wire::BuildPacket(2000, 0, p.sequence, nullptr, 0));
      } else {
        s->SendTo(local, wire::BuildPacket(2000, p.connection, p.sequence,
                                           reinterpret_cast<const uint8_t*>("forged"), 7));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the forgeries arrive first
    if (p.command == 1100) return testpeer::Reply{2000, {'r', 'e', 'a', 'l', 0}};
    return std::nullopt;
  });
  peer->SetMemory({'g', 'o', 'o', 'd'});
  for (bool mapped : {false, true}) {
    SCOPED_TRACE(mapped ? "through the address map" : "direct");
    const std::string map = "terminal.invalid=127.0.0.1:" + std::to_string(peer->port());
    setenv("VORDLIX_NET_MAP", map.c_str(), 1);
    const int32_t h = VORDLIX_INIT("vxnet.dll", mapped ? "terminal.invalid" : "127.0.0.1", peer->port(), 0, kLimitMs, 0);
    unsetenv("VORDLIX_NET_MAP");
    ASSERT_NE(h, 0);
    char buf[16] = {};
    uint16_t reply = 1100;
    EXPECT_EQ(VORDLIX_SENDCMD(h, &reply, buf, sizeof buf, 0, kLimitMs), VORDLIX_OK);
    EXPECT_EQ(reply, 2000);
    EXPECT_STREQ(buf, "real");
    const uint8_t read[8] = {0, 0, 0, 0, 4, 0, 0, 0};
    std::memcpy(buf, read, 8);
    reply = 111;
    EXPECT_EQ(VORDLIX_SENDCMD(h, &reply, buf, sizeof buf, 8, kLimitMs), VORDLIX_OK);
    EXPECT_EQ(reply, 2000);
    EXPECT_STREQ(buf, "good");
    VORDLIX_CLOSE(h);
  }
  peer.reset();  // its thread uses the other sockets
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
}

std::vector<uint8_t> Pattern(std::size_t n, uint8_t seed) {
  std::vector<uint8_t> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
  return b;
}

// One option read and one memory read on a connection to peer i; true when both
// came back with that peer's data.
bool AskPeer(int32_t h, int i, const std::vector<uint8_t>& memory) {
  char text[32] = "Name";
  uint16_t reply = 11;
  if (VORDLIX_SENDCMD(h, &reply, text, sizeof text, 5, kLimitMs) != VORDLIX_OK || reply != 2000) return false;
  if (std::string(text) != "Name=peer" + std::to_string(i)) return false;
  std::vector<uint8_t> buf(memory.size());
  wire::Put32(&buf[0], 0);
  wire::Put32(&buf[4], static_cast<uint32_t>(memory.size()));
  reply = 111;
  if (VORDLIX_SENDCMD(h, &reply, buf.data(), static_cast<int32_t>(buf.size()), 8, kLimitMs) != VORDLIX_OK) return false;
  return reply == 2000 && buf == memory;
}

// Terminals that reply to one fixed port of the host, as boot loaders reply to
// port 4370: the connections of one process share that local port, and each
// takes its own terminal's replies, used in turn or from several threads at once.
TEST(VordlixApiTest, ConnectionsShareTheLocalPortAndEachTakesItsTerminalsReplies) {
  const uint16_t local = FreePort();
  setenv("VORDLIX_LOCAL_PORT", std::to_string(local).c_str(), 1);
  constexpr int kPeers = 3;
  std::vector<std::unique_ptr<testpeer::TestPeer>> peers;
  std::vector<std::vector<uint8_t>> memories;
  std::vector<int32_t> handles;
  for (int i = 0; i < kPeers; ++i) {
    peers.push_back(testpeer::TestPeer::StartUdp());
    peers[i]->SetReplyPort(local);
    peers[i]->SetOption("Name", "peer" + std::to_string(i));
    memories.push_back(Pattern(6000, static_cast<uint8_t>(i * 50)));
    peers[i]->SetMemory(memories[i]);
    handles.push_back(VORDLIX_INIT("vxnet.dll", "127.0.0.1", peers[i]->port(), 0, kLimitMs, 0));
    ASSERT_NE(handles[i], 0) << "peer " << i;
  }
  for (int round = 0; round < 5; ++round)
    for (int i = 0; i < kPeers; ++i) EXPECT_TRUE(AskPeer(handles[i], i, memories[i])) << "peer " << i;

  std::vector<int> good(kPeers, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kPeers; ++i)
    threads.emplace_back([&, i] {
      for (int n = 0; n < 40; ++n) good[i] += AskPeer(handles[i], i, memories[i]);
      // A block into the terminal too: 1500, chunks, a command.
      const auto block = Pattern(5000, static_cast<uint8_t>(i));
      const uint8_t params[8] = {};
      uint16_t reply = 110;
      good[i] += VORDLIX_SENDCMDDATA(handles[i], &reply, block.data(), 5000, params, 8, kLimitMs) == VORDLIX_OK &&
                 reply == 2000;
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kPeers; ++i) {
    EXPECT_EQ(good[i], 41) << "peer " << i;
    const auto transfers = peers[i]->Transfers();
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].block, Pattern(5000, static_cast<uint8_t>(i)));
  }

  // A second connection to a terminal that answers the sending port gets a socket
  // of its own; both work.
  auto plain = testpeer::TestPeer::StartUdp();
  plain->SetOption("Name", "peer9");
  const int32_t first = VORDLIX_INIT("vxnet.dll", "127.0.0.1", plain->port(), 0, kLimitMs, 0);
  const int32_t second = VORDLIX_INIT("vxnet.dll", "127.0.0.1", plain->port(), 0, kLimitMs, 0);
  for (int32_t h : {first, second}) {
    char text[32] = "Name";
    uint16_t reply = 11;
    EXPECT_EQ(VORDLIX_SENDCMD(h, &reply, text, sizeof text, 5, kLimitMs), VORDLIX_OK);
    EXPECT_STREQ(text, "Name=peer9");
    VORDLIX_CLOSE(h);
  }

  // Once every connection is closed the port is free again.
  for (int32_t h : handles) VORDLIX_CLOSE(h);
  EXPECT_EQ(Socket("0.0.0.0", local).port, local);
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
}

// Bad handles and buffers on an open connection of either transport.
TEST_P(VordlixPeerTest, BadHandlesAndBuffersFailWithTheFailureCode) {
  ASSERT_NE(Open(), 0);
  char buf[16] = "x";
  struct Case {
    const char* name;
    int32_t handle;
    void* buffer;
    int32_t size, length;
    int32_t result;
  } cases[] = {
      {"handle 0", 0, buf, 16, 0, VORDLIX_E_HANDLE},
      {"unknown handle", handle_ + 1000, buf, 16, 0, VORDLIX_E_HANDLE},
      {"negative handle", -1, buf, 16, 0, VORDLIX_E_HANDLE},
      {"null buffer with a size", handle_, nullptr, 16, 0, VORDLIX_E_ARGUMENT},
      {"null buffer with a length", handle_, nullptr, 0, 4, VORDLIX_E_ARGUMENT},
      {"negative size", handle_, buf, -1, 0, VORDLIX_E_ARGUMENT},
      {"negative length", handle_, buf, 16, -5, VORDLIX_E_ARGUMENT},
  };
  for (const auto& c : cases) {
    uint16_t reply = 2000;
    EXPECT_EQ(VORDLIX_SENDCMD(c.handle, &reply, c.buffer, c.size, c.length, 200), c.result) << c.name;
    EXPECT_EQ(reply, VORDLIX_REPLY_FAILED) << c.name;
  }
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, nullptr, buf, 16, 0, 200), VORDLIX_E_ARGUMENT);

  uint16_t reply = 110;
  EXPECT_EQ(VORDLIX_SENDCMDDATA(handle_, &reply, nullptr, 10, buf, 8, 200), VORDLIX_E_ARGUMENT);
  EXPECT_EQ(reply, VORDLIX_REPLY_FAILED);
  reply = 110;
  EXPECT_EQ(VORDLIX_SENDCMDDATA(handle_, &reply, buf, 10, nullptr, 8, 200), VORDLIX_E_ARGUMENT);
  reply = 110;
  EXPECT_EQ(VORDLIX_SENDCMDDATA(0, &reply, buf, 10, buf, 8, 200), VORDLIX_E_HANDLE);

  // A request that cannot travel in one packet is refused before anything is sent.
  std::vector<char> big(4000, 'a');
  const std::size_t before = peer_->Log().size();
  reply = 12;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, big.data(), 4000, 4000, 200), VORDLIX_E_TOO_LONG);
  EXPECT_EQ(reply, VORDLIX_REPLY_FAILED);
  EXPECT_EQ(peer_->Log().size(), before);

  // Nothing above disturbed the connection; after closing, the handle is dead.
  reply = 2000;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, buf, 16, 0, kLimitMs), VORDLIX_OK);
  EXPECT_EQ(reply, 2000);
  EXPECT_EQ(VORDLIX_CLOSE(handle_), VORDLIX_OK);
  EXPECT_EQ(VORDLIX_CLOSE(handle_), VORDLIX_E_HANDLE);
  reply = 2000;
  EXPECT_EQ(VORDLIX_SENDCMD(handle_, &reply, buf, 16, 0, 200), VORDLIX_E_HANDLE);
  EXPECT_EQ(reply, VORDLIX_REPLY_FAILED);
  handle_ = 0;
}

// Two handles in one process on the network: two sockets, two records. (On one
// serial line a terminal keeps one record for the line, so there it makes no sense.)
TEST(VordlixApiTest, TwoNetworkConnectionsAtOnceKeepTheirOwnRepliesApart) {
  setenv("VORDLIX_LOCAL_PORT", "0", 1);
  auto peer_ = testpeer::TestPeer::StartUdp();
  const int32_t first = VORDLIX_INIT("vxnet.dll", "127.0.0.1", peer_->port(), 0, kLimitMs, 0);
  const int32_t second = VORDLIX_INIT("vxnet.dll", "127.0.0.1", peer_->port(), 0, kLimitMs, 0);
  ASSERT_NE(first, 0);
  ASSERT_NE(second, 0);
  ASSERT_NE(second, first);
  peer_->SetOption("A", "1");
  char buf[32] = "A";
  uint16_t reply = 11;
  VORDLIX_SENDCMD(first, &reply, buf, 32, 2, kLimitMs);
  EXPECT_EQ(reply, 2000);
  EXPECT_STREQ(buf, "A=1");
  VORDLIX_CLOSE(first);
  std::strcpy(buf, "A");
  reply = 11;
  VORDLIX_SENDCMD(second, &reply, buf, 32, 2, kLimitMs);
  EXPECT_EQ(reply, 2000);
  VORDLIX_CLOSE(second);
}

INSTANTIATE_TEST_SUITE_P(Lines, VordlixPeerTest, ::testing::Values(Line::kUdp, Line::kSerial), testing::LineName);

// The shared library exports the four functions and nothing of its inside.
TEST(VordlixApiTest, SharedLibraryExportsTheFourFunctions) {
  // Under CTest the build directory is given; run by hand, it lies above tests/.
  std::string build;
  if (const char* dir = std::getenv("QUELMARK_BUILD_DIR")) {
    build = dir;
  } else {
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    build = std::string(exe);
    build = build.substr(0, build.rfind('/'));
    build = build.substr(0, build.rfind('/'));
  }
  const std::string path = build + "/lib/libvordlix.so";
  void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const char* name : {"VORDLIX_INIT", "VORDLIX_SENDCMD", "VORDLIX_SENDCMDDATA", "VORDLIX_CLOSE"})
    EXPECT_NE(dlsym(lib, name), nullptr) << name;
  EXPECT_EQ(dlsym(lib, "_ZN7vordlix4wire8ChecksumEPKhm"), nullptr);
  using Init = int32_t (*)(const char*, const char*, int32_t, int32_t, int32_t, int32_t);
  auto init = reinterpret_cast<Init>(dlsym(lib, "VORDLIX_INIT"));
  ASSERT_NE(init, nullptr);
  EXPECT_EQ(init("nothing.dll", "127.0.0.1", 4370, 0, 0, 0), 0);
  dlclose(lib);
}

}  // namespace
}  // namespace vordlix
